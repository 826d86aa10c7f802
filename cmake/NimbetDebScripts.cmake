# SPDX-License-Identifier: MIT
# Run by cpack after it made the Debian packages (CPACK_POST_BUILD_SCRIPTS).
# CPack gives a package that holds a shared library a postinst and a postrm
# that call ldconfig; Debian packages declare the ldconfig trigger instead
# (the runtime package's triggers file), so those two scripts are taken out
# and the package is packed again. The scripts of packaging/debian
# (PACKAGE/SCRIPT) stay; any other maintainer script is an error.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  get_filename_component(pkg ${deb} NAME)
  string(REGEX REPLACE "_.*" "" pkg "${pkg}")
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  set(changed FALSE)
  foreach(script preinst postinst prerm postrm)
    set(file ${tree}/DEBIAN/${script})
    if(NOT EXISTS ${file})
      continue()
    endif()
    file(READ ${file} body)
    set(ours ${CPACK_NIMBET_SCRIPTS_DIR}/${pkg}/${script})
    if(EXISTS ${ours})
      file(READ ${ours} expected)
      if(NOT body STREQUAL expected)
        message(FATAL_ERROR "${deb}: its ${script} is not ${ours}:\n${body}")
      endif()
      continue()
    endif()
    string(REGEX REPLACE "#![^\n]*\n|set -e|if \\[ \"\\$1\" = \"(configure|remove)\" \\]; then|ldconfig|fi|[ \t\n]" ""
      rest "${body}")
    if(NOT rest STREQUAL "")
      message(FATAL_ERROR "${deb}: unexpected ${script}:\n${body}")
    endif()
    file(REMOVE ${file})
    set(changed TRUE)
  endforeach()
  if(changed)
    execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b ${tree} ${deb}
      OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
