# Install rules. `cmake --install` uses them, and so do the packages: the
# Debian packages on Linux (debian/rules), the zip on Windows
# (cmake/packaging.cmake).
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
  # The licence beside them, with CR LF line ends as Windows text has.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
  string(REPLACE "\n" "\r\n" license "${license}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt "${license}")
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt
          DESTINATION .)
  return()
endif()

# Installs <source> compressed as Debian installs documentation: gzip -9
# without a name or time stamp, so that the same source gives the same bytes.
# A man page names the version in its title line, as written, so that it
# reads right straight from the tree (man -l doc/crv.1): it must be this
# project's version.
function(crv_install_gzipped source destination)
  get_filename_component(name ${source} NAME)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/gz/${name})
  if(name MATCHES "\\.1$")
    file(STRINGS ${source} title REGEX "^\\.TH " LIMIT_COUNT 1)
    if(NOT title MATCHES "\"crv ${PROJECT_VERSION}\"")
      message(FATAL_ERROR "${source}: the .TH line must name \"crv ${PROJECT_VERSION}\", "
                          "the version in CMakeLists.txt: ${title}")
    endif()
  endif()
  configure_file(${source} ${out} COPYONLY)
  execute_process(COMMAND gzip -9nfk ${out} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip -9n ${out} failed")
  endif()
  install(FILES ${out}.gz DESTINATION ${destination})
endfunction()

# Completions for bash, zsh and fish, one file per command and shell, where
# each shell looks for them: bash-completion and fish by the command's name,
# zsh by the #compdef line of a file on its fpath.
function(crv_install_completions command)
  install(FILES data/crv.bash-completion RENAME ${command}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  foreach(shell zsh fish)
    configure_file(data/crv.${shell}-completion ${CMAKE_CURRENT_BINARY_DIR}/${shell}/${command} @ONLY)
  endforeach()
  # zsh searches vendor-completions under /usr (Debian's packages) and
  # site-functions under any other prefix (/usr/local): the prefix given at
  # install time decides (`cmake --install --prefix`).
  set(zsh_file ${CMAKE_CURRENT_BINARY_DIR}/zsh/_${command})
  configure_file(${CMAKE_CURRENT_BINARY_DIR}/zsh/${command} ${zsh_file} COPYONLY)
  install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      set(zsh_dir vendor-completions)
    else()
      set(zsh_dir site-functions)
    endif()
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/zsh/\${zsh_dir}\"
         TYPE FILE FILES \"${zsh_file}\")")
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/fish/${command} RENAME ${command}.fish
          DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d)
endfunction()

install(TARGETS crv RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
crv_install_gzipped(doc/crv.1 ${CMAKE_INSTALL_MANDIR}/man1)
crv_install_completions(crv)
if(TARGET crvw)
  install(TARGETS crvw RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  crv_install_gzipped(doc/crvw.1 ${CMAKE_INSTALL_MANDIR}/man1)
  crv_install_completions(crvw)
  # Two entries that offer crvw for a file without taking over any type
  # (no MimeType) or showing in the applications menu (NoDisplay); the
  # right-click actions of Dolphin (a service menu) and Nemo for text files.
  install(FILES data/crvw-lf.desktop data/crvw-crlf.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  # The service menu where Plasma 6 (kio/servicemenus) and Plasma 5
  # (kservices5/ServiceMenus) look, under one name, which Dolphin shows once.
  foreach(folder kio/servicemenus kservices5/ServiceMenus)
    install(FILES data/crvw-servicemenu.desktop RENAME crvw.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/${folder})
  endforeach()
  install(FILES data/crvw-lf.nemo_action data/crvw-crlf.nemo_action
          DESTINATION ${CMAKE_INSTALL_DATADIR}/nemo/actions)
  # GNOME Files: an extension that python3-nautilus loads from its
  # system-wide folder.
  install(FILES data/crvw_nautilus.py RENAME crvw.py
          DESTINATION ${CMAKE_INSTALL_DATADIR}/nautilus-python/extensions)
  # Caja: file-manager actions, which caja-actions reads (an action's name is
  # its file's name, as the two entries in applications/ have).
  foreach(form lf crlf)
    install(FILES data/crvw-${form}-action.desktop RENAME crvw-${form}.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/file-manager/actions)
  endforeach()
endif()
# The Debian packages take these two from debian/ themselves.
install(FILES debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
crv_install_gzipped(debian/changelog ${CMAKE_INSTALL_DOCDIR})
