# SPDX-License-Identifier: MIT
# What `cmake --install` puts under the prefix: the module with its soname
# links, the header, the CMake package (nimbet::nimbet), the pkg-config file,
# the tool with its man page, the Python package, and (from java/) the jars.
# Every file here is relocatable: nothing records the prefix it was installed
# to. Each file belongs to an install component, which is also the Debian
# package it goes to (NimbetPackage.cmake): runtime, dev, tools, java, python.
include(CMakePackageConfigHelpers)

set(NIMBET_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/nimbet)

install(TARGETS nimbetJava EXPORT nimbetTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/nimbet DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

install(EXPORT nimbetTargets NAMESPACE nimbet:: DESTINATION ${NIMBET_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/nimbetConfig.cmake.in
  ${PROJECT_BINARY_DIR}/nimbetConfig.cmake INSTALL_DESTINATION ${NIMBET_CMAKE_DIR})
# Before 1.0 only the same minor version promises the same interface.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(_nimbet_compatibility SameMinorVersion)
else()
  set(_nimbet_compatibility SameMajorVersion)
endif()
write_basic_package_version_file(${PROJECT_BINARY_DIR}/nimbetConfigVersion.cmake
  COMPATIBILITY ${_nimbet_compatibility})
install(FILES ${PROJECT_BINARY_DIR}/nimbetConfig.cmake ${PROJECT_BINARY_DIR}/nimbetConfigVersion.cmake
  DESTINATION ${NIMBET_CMAKE_DIR} COMPONENT dev)

# pkg-config finds the prefix from where the file lies (unless the folders
# were given as absolute paths).
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(NIMBET_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(NIMBET_PC_INCLUDEDIR ${CMAKE_INSTALL_FULL_INCLUDEDIR})
  set(NIMBET_PC_LIBDIR ${CMAKE_INSTALL_FULL_LIBDIR})
else()
  file(RELATIVE_PATH _nimbet_up /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" _nimbet_up "${_nimbet_up}")
  set(NIMBET_PC_PREFIX "\${pcfiledir}/${_nimbet_up}")
  set(NIMBET_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
  set(NIMBET_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/nimbet.pc.in ${PROJECT_BINARY_DIR}/nimbet.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/nimbet.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# nimbet_install_man(PAGE COMPONENT): installs the manual page PAGE (a file
# of the build folder named NAME.SECTION) compressed, as Debian ships them.
function(nimbet_install_man page component)
  get_filename_component(name ${page} NAME)
  string(REGEX MATCH "[0-9]$" section ${name})
  add_custom_command(OUTPUT ${page}.gz
    COMMAND gzip -9nc ${page} > ${page}.gz
    DEPENDS ${page}
    VERBATIM)
  add_custom_target(nimbet_man_${name} ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endfunction()

if(TARGET nimbet)
  install(TARGETS nimbet RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  nimbet_install_man(${PROJECT_BINARY_DIR}/nimbet.1 tools)
  # The JSON Schema of the lines the tool writes with --json.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/schemas/tool-events.schema.json
    DESTINATION ${CMAKE_INSTALL_DATADIR}/nimbet/schemas COMPONENT tools)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/nimbet COMPONENT tools)
endif()
# The gateway as a service: its units, written at install time with the
# program's installed path (cpack installs under another prefix than the
# build was configured with), a settings example, and the JSON Schemas of
# what it publishes and takes.
if(NIMBET_WITH_BRIDGE)
  foreach(unit nimbet-bridge.service nimbet-bridge@.service)
    install(CODE "set(NIMBET_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
      configure_file(\"${PROJECT_SOURCE_DIR}/packaging/systemd/${unit}.in\"
                     \"${PROJECT_BINARY_DIR}/packaging/installed/${unit}\" @ONLY)" COMPONENT tools)
    install(FILES ${PROJECT_BINARY_DIR}/packaging/installed/${unit} DESTINATION lib/systemd/system COMPONENT tools)
  endforeach()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/nimbet-bridge.toml.example
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/nimbet/examples COMPONENT tools)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/packaging/schemas/ DESTINATION ${CMAKE_INSTALL_DATADIR}/nimbet/schemas
    COMPONENT tools FILES_MATCHING PATTERN "bridge-*.schema.json")
endif()

# The Python package where Debian's python3 looks (component python, the
# Debian package python3-nimbet), with the path from it to the module of the
# same installation, which it loads before any other.
set(NIMBET_PYTHON_DIR lib/python3/dist-packages)
set(_nimbet_module ${CMAKE_INSTALL_LIBDIR}/libnimbetJava.so.${NIMBET_SOVERSION})
if(NOT IS_ABSOLUTE "${_nimbet_module}")
  file(RELATIVE_PATH _nimbet_module /${NIMBET_PYTHON_DIR}/nimbet /${_nimbet_module})
endif()
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/python/_installed.py
  CONTENT "\"\"\"Written by cmake --install: where the module of this installation lies, relative to the package.\"\"\"\n\nMODULE = \"@_nimbet_module@\"\n"
  @ONLY)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/nimbet DESTINATION ${NIMBET_PYTHON_DIR} COMPONENT python
  FILES_MATCHING PATTERN "*.py" PATTERN "py.typed" PATTERN "__pycache__" EXCLUDE)
install(FILES ${PROJECT_BINARY_DIR}/python/_installed.py DESTINATION ${NIMBET_PYTHON_DIR}/nimbet COMPONENT python)

include(${PROJECT_SOURCE_DIR}/cmake/NimbetPackage.cmake)
