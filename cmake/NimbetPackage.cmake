# The Debian package: `cpack -G DEB` in the build folder packs what
# `cmake --install` installs, under /usr, as one package (library, header,
# CMake and pkg-config files, tool, man page, jars). Only for a top-level
# build: a project that embeds this one packages itself.
if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libnimbet)
set(CPACK_PACKAGE_VENDOR libnimbet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
if(NOT CPACK_PACKAGE_CONTACT)
  set(CPACK_PACKAGE_CONTACT "libnimbet maintainers <maintainers@libnimbet.invalid>")
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_PACKAGE_DESCRIPTION "libnimbetJava.so with its C interface (nimbet/nimbet.h, CMake
package nimbet, pkg-config module nimbet), the Java binding nimbet.jar, and
the nimbet command-line tool that sends, receives and transfers frames.")
# Binaries without their debugging information, as Debian ships them.
set(CPACK_STRIP_FILES ON)
# Library dependencies from what the binaries link; an ldconfig trigger and a
# shlibs file for the module.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "java17-runtime-headless")
include(CPack)
