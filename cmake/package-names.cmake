# Read by CPack for each generator: quiltcam-VERSION-win32.zip and quiltcam-VERSION-setup.exe.
if(CPACK_GENERATOR STREQUAL "ZIP")
  set(CPACK_PACKAGE_FILE_NAME "quiltcam-${CPACK_PACKAGE_VERSION}-win32")
elseif(CPACK_GENERATOR STREQUAL "NSIS")
  set(CPACK_PACKAGE_FILE_NAME "quiltcam-${CPACK_PACKAGE_VERSION}-setup")
endif()
