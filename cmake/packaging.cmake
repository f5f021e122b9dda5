# CPack: `cpack -G DEB` in a Linux build makes crv_<version>_amd64.deb,
# `cpack -G ZIP` in the 32-bit Windows build makes crv-<version>-win32.zip;
# scripts/package.sh runs both. The contents are the install rules'.
set(CPACK_PACKAGE_NAME crv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "crv developers <crv@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "normalise the line endings of one file in place")
# The long description, in lines of Debian's width.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "crv rewrites one file so that every line end becomes CR LF or LF. It"
  "works through a numbered backup that is deleted on success and put back"
  "on failure, so that no byte is lost, and works on bytes only: encodings"
  "and file types are left alone."
  "."
  "crvw does the same from a desktop: it asks in a dialog before"
  "converting. Two desktop entries offer it for text files in a file"
  "manager, one for LF and one for CR LF line ends.")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME crv-${PROJECT_VERSION}-win32)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Dependencies from the binaries (dpkg-shlibdeps): crvw's GTK 3; crv is
  # static and adds none.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()
include(CPack)
