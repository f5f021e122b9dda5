# CPack: `cpack -G ZIP` in the 32-bit Windows build makes
# crv-<version>-win32.zip, with the install rules' contents; scripts/package.sh
# runs it. The Debian packages come from the source package in debian/.
if(NOT WIN32)
  return()
endif()
set(CPACK_PACKAGE_NAME crv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "normalise the line endings of one file in place")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME crv-${PROJECT_VERSION}-win32)
include(CPack)
