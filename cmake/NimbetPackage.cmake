# SPDX-License-Identifier: MIT
# The Debian packages: `cpack -G DEB` in the build folder packs what
# `cmake --install` installs, under /usr, as one package per install
# component:
#
#   runtime  libnimbet0       the module, with its soname link
#   dev      libnimbet-dev    header, CMake package, pkg-config file, the unversioned link
#   tools    nimbet-tools     the tool with its gateway, manual page, schemas, service files
#   java     libnimbet-java   nimbet.jar (classes only) with its javadoc and sources jars
#   python   python3-nimbet   the Python package
#
# Maintainer scripts are packaging/debian/PACKAGE/SCRIPT (CONTROL below):
# python3-nimbet byte-compiles its modules and removes what was compiled, as
# Debian's Python packages do; nimbet-tools handles the gateway's unit with
# Debian's systemd helpers (never enabled or started on installation, its
# links removed on purge). No other package has scripts.
#
# A part of the build adds its package with nimbet_deb_package() and puts its
# files in that component (install(... COMPONENT NAME)). Every package
# carries the copyright and the Debian changelog in /usr/share/doc/PACKAGE.
# cpack is used rather than a debian/ folder and dpkg-buildpackage because it
# packs the build that is already there (scripts/test makes it anyway) from
# the same install rules as `cmake --install`, so the two cannot drift.
# Only for a top-level build: a project that embeds this one packages itself.
if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()

# The maintainer named in every package and in the changelog: whoever
# publishes the packages sets it, or DEBFULLNAME and DEBEMAIL as for the
# other Debian tools.
if(DEFINED ENV{DEBEMAIL} AND DEFINED ENV{DEBFULLNAME})
  set(_nimbet_maintainer "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
else()
  set(_nimbet_maintainer "The libnimbet authors <authors@libnimbet.invalid>")
endif()
set(NIMBET_DEB_MAINTAINER "${_nimbet_maintainer}" CACHE STRING
  "Maintainer of the Debian packages, \"Name <address>\" (default from DEBFULLNAME and DEBEMAIL)")

set(NIMBET_DEB_DIR ${PROJECT_BINARY_DIR}/deb)
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in ${NIMBET_DEB_DIR}/changelog @ONLY)
# The changelog's newest entry names the version it describes.
file(STRINGS ${NIMBET_DEB_DIR}/changelog _nimbet_top LIMIT_COUNT 1)
if(NOT _nimbet_top MATCHES "^libnimbet \\(${PROJECT_VERSION}\\) ")
  message(WARNING "packaging/debian/changelog.in has no entry for ${PROJECT_VERSION} at the top: "
    "the Debian packages need one")
endif()
add_custom_command(OUTPUT ${NIMBET_DEB_DIR}/changelog.gz
  COMMAND gzip -9nc ${NIMBET_DEB_DIR}/changelog > ${NIMBET_DEB_DIR}/changelog.gz
  DEPENDS ${NIMBET_DEB_DIR}/changelog
  VERBATIM)
add_custom_target(nimbet_deb_changelog ALL DEPENDS ${NIMBET_DEB_DIR}/changelog.gz)

# The libraries' own ldconfig trigger (see NimbetDebScripts.cmake).
file(WRITE ${NIMBET_DEB_DIR}/runtime/triggers "activate-noawait ldconfig\n")

set(NIMBET_DEB_COMPONENTS "")

# nimbet_deb_package(COMPONENT NAME SECTION section SUMMARY text DESCRIPTION text
#                    [ARCHITECTURE all] [NEEDS component...] [DEPENDS text] [CONTROL file...])
# Declares the package NAME made of install component COMPONENT: its Debian
# section, one-line summary and longer description (lines of at most 79
# characters, an empty line between paragraphs), the components whose
# packages it needs at the same version, other packages it needs (Debian's
# Depends syntax), extra control files (triggers), and its copyright and
# changelog.
function(nimbet_deb_package component name)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "SECTION;SUMMARY;DESCRIPTION;ARCHITECTURE;DEPENDS" "NEEDS;CONTROL")
  string(TOUPPER ${component} c)
  set(CPACK_DEBIAN_${c}_PACKAGE_NAME ${name} PARENT_SCOPE)
  set(CPACK_DEBIAN_${c}_PACKAGE_SECTION ${arg_SECTION} PARENT_SCOPE)
  set(CPACK_COMPONENT_${c}_DESCRIPTION "${arg_SUMMARY}\n${arg_DESCRIPTION}" PARENT_SCOPE)
  if(arg_NEEDS)
    set(CPACK_COMPONENT_${c}_DEPENDS ${arg_NEEDS} PARENT_SCOPE)
  endif()
  if(arg_DEPENDS)
    set(CPACK_DEBIAN_${c}_PACKAGE_DEPENDS "${arg_DEPENDS}" PARENT_SCOPE)
  endif()
  if(arg_ARCHITECTURE)
    set(CPACK_DEBIAN_${c}_PACKAGE_ARCHITECTURE ${arg_ARCHITECTURE} PARENT_SCOPE)
  endif()
  if(arg_CONTROL)
    set(CPACK_DEBIAN_${c}_PACKAGE_CONTROL_EXTRA ${arg_CONTROL} PARENT_SCOPE)
  endif()
  # Package files only: a plain `cmake --install` leaves them out.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${NIMBET_DEB_DIR}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${name} COMPONENT ${component} EXCLUDE_FROM_ALL)
  set(NIMBET_DEB_COMPONENTS ${NIMBET_DEB_COMPONENTS} ${component} PARENT_SCOPE)
endfunction()

nimbet_deb_package(runtime libnimbet0 SECTION libs
  SUMMARY "sensor-node network frames, sockets and transfers (library)"
  DESCRIPTION "libnimbet lets host applications talk to a network of small sensor
nodes that exchange short frames over UDP: it builds, sends, receives and
checks frames, has addressed frames acknowledged, selects frames with filter
chains, and moves buffers and files as fragmented, acknowledged transfers.

This package holds the shared library libnimbetJava.so, which serves both
the C interface and the Java binding."
  CONTROL ${NIMBET_DEB_DIR}/runtime/triggers)
nimbet_deb_package(dev libnimbet-dev SECTION libdevel NEEDS runtime
  SUMMARY "sensor-node network frames, sockets and transfers (development files)"
  DESCRIPTION "libnimbet lets host applications talk to a network of small sensor
nodes that exchange short frames over UDP.

This package holds what programs need to build with the library: the C
header nimbet/nimbet.h, the CMake package nimbet (target nimbet::nimbet) and
the pkg-config module nimbet.")
set(_nimbet_scripts ${PROJECT_SOURCE_DIR}/packaging/debian)
if(TARGET nimbet)
  if(NIMBET_WITH_BRIDGE)
    set(_nimbet_tools_scripts CONTROL ${_nimbet_scripts}/nimbet-tools/postinst ${_nimbet_scripts}/nimbet-tools/prerm
      ${_nimbet_scripts}/nimbet-tools/postrm)
  endif()
  nimbet_deb_package(tools nimbet-tools SECTION net ${_nimbet_tools_scripts}
    SUMMARY "command-line tool and MQTT gateway for libnimbet sensor networks"
    DESCRIPTION "The nimbet tool tries a network of sensor nodes from the command line:
it lists the interfaces, listens to frames (as text, JSON lines or a pcap
capture), sends frames, acknowledged or not, and moves files as fragmented,
acknowledged transfers. When built with libmosquitto, nimbet bridge makes a
node the gateway of its segment to an MQTT broker.")
endif()
if(NIMBET_WITH_JAVA)
  nimbet_deb_package(java libnimbet-java SECTION java NEEDS runtime
    SUMMARY "sensor-node network frames, sockets and transfers (Java binding)"
    DESCRIPTION "libnimbet lets host applications talk to a network of small sensor
nodes that exchange short frames over UDP.

This package holds the Java binding nimbet.jar (package nimbets.libNimbet),
with its javadoc and sources jars. It uses the library of libnimbet0, which
the JVM finds in /usr/lib/jni.")
endif()
# The package needs Python 3.11 (typing.ParamSpec, asyncio.timeout); what its
# pyproject.toml says in requires-python.
nimbet_deb_package(python python3-nimbet SECTION python ARCHITECTURE all NEEDS runtime DEPENDS "python3 (>= 3.11)"
  CONTROL ${_nimbet_scripts}/python3-nimbet/postinst ${_nimbet_scripts}/python3-nimbet/prerm
  SUMMARY "sensor-node network frames, sockets and transfers (Python 3)"
  DESCRIPTION "libnimbet lets host applications talk to a network of small sensor
nodes that exchange short frames over UDP.

This package holds the Python 3 package nimbet: sockets, packets, node
identifiers, locations and filters as Python objects, blocking and with
asyncio, over the library of libnimbet0.")

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENTS_ALL ${NIMBET_DEB_COMPONENTS})
set(CPACK_PACKAGE_NAME libnimbet)
# Each package has its own summary (the first line of its description). CPack
# would put a summary that differs from its default in front of each.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGE_VENDOR "The libnimbet authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${NIMBET_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${NIMBET_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Binaries without their debugging information, as Debian ships them.
set(CPACK_STRIP_FILES ON)
# Library dependencies from what the binaries link, and a shlibs file for the
# module so that packages built against it depend on this version or later.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The maintainer scripts keep their mode (0755), as dpkg wants them.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/NimbetDebScripts.cmake)
set(CPACK_NIMBET_SCRIPTS_DIR ${_nimbet_scripts})
include(CPack)
