# Install rules. `cmake --install` uses them, and so do the packages
# (cmake/packaging.cmake): the Debian package on Linux, the zip on Windows.
include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  # The zip: both programs and a readme with CR LF line ends, side by side.
  install(TARGETS crv crvw RUNTIME DESTINATION .)
  file(READ ${PROJECT_SOURCE_DIR}/packaging/README-windows.txt readme)
  string(REPLACE "@PROJECT_VERSION@" "${PROJECT_VERSION}" readme "${readme}")
  string(REPLACE "\n" "\r\n" readme "${readme}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/README.txt "${readme}")
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt DESTINATION .)
  return()
endif()

# Installs <source> with the version filled in, compressed as Debian installs
# documentation: gzip -9 without a name or time stamp, so that the same source
# gives the same bytes.
function(crv_install_gzipped source destination)
  get_filename_component(name ${source} NAME)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/gz/${name})
  configure_file(${source} ${out} @ONLY)
  execute_process(COMMAND gzip -9nfk ${out} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip -9n ${out} failed")
  endif()
  install(FILES ${out}.gz DESTINATION ${destination})
endfunction()

install(TARGETS crv RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
crv_install_gzipped(doc/crv.1 ${CMAKE_INSTALL_MANDIR}/man1)
# bash-completion loads a command's completion from a file named after it.
foreach(command crv crvw)
  install(FILES data/crv.bash-completion RENAME ${command}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endforeach()
if(TARGET crvw)
  install(TARGETS crvw RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  crv_install_gzipped(doc/crvw.1 ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES data/crvw-lf.desktop data/crvw-crlf.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
endif()
install(FILES packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
crv_install_gzipped(packaging/changelog ${CMAKE_INSTALL_DOCDIR})

option(CRV_DEBIAN_PACKAGE "Install the files only a Debian package has (lintian overrides)" OFF)
if(CRV_DEBIAN_PACKAGE)
  install(FILES packaging/lintian-overrides RENAME crv
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides)
endif()
