# What gets installed, and the packages made of it: a Debian package on Linux (the "package"
# preset), a zip and an NSIS installer for Windows (the "windows" preset).
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME quiltcam)
set(CPACK_PACKAGE_VENDOR "Quiltcam developers")
set(CPACK_PACKAGE_CONTACT "Quiltcam developers <maintainers@users.noreply.c-seed-fecb253b.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "camera as a live mosaic of tinted miniatures of itself")
set(CPACK_PACKAGE_DESCRIPTION "Quiltcam shows the camera as a grid of 26 by 20 small tiles. Every tile is a
grey miniature of the whole picture, tinted with the average colour of its own
patch, and the picture is mirrored like a mirror. It starts at once, takes no
settings and quits on any key; quiltcam-fullscreen shows it on the whole
screen.")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://quiltcam.github.io/")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS quiltcam quiltcam-fullscreen RUNTIME DESTINATION .)
  install(FILES resources/README-windows.txt DESTINATION . RENAME README.txt)
  set(CPACK_GENERATOR ZIP NSIS)
  set(CPACK_PACKAGE_INSTALL_DIRECTORY Quiltcam)
  set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Quiltcam)
  set(CPACK_NSIS_PACKAGE_NAME Quiltcam)
  set(CPACK_NSIS_DISPLAY_NAME Quiltcam)
  set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
  set(CPACK_PACKAGE_EXECUTABLES quiltcam Quiltcam quiltcam-fullscreen "Quiltcam (full screen)")
  set(CPACK_NSIS_INSTALLED_ICON_NAME quiltcam.exe)
  set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/resources/quiltcam.ico)
  set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/resources/quiltcam.ico)
  set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
  # The zip and the installer each get a name of their own.
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/package-names.cmake)
else()
  install(TARGETS quiltcam quiltcam-fullscreen RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES resources/quiltcam.desktop resources/quiltcam-fullscreen.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES resources/io.github.quiltcam.Quiltcam.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

  # The icon at the sizes menus use, each drawn at its size; the manual page (one for both
  # programs) and the Debian changelog compressed without timestamps.
  set(generated ${CMAKE_BINARY_DIR}/installed)
  set(iconSizes 16 22 24 32 48 64 128 256)
  set(icons)
  foreach(size ${iconSizes})
    list(APPEND icons ${generated}/icons/${size}x${size}/apps/quiltcam.png)
  endforeach()
  add_custom_command(OUTPUT ${icons}
    COMMAND python3 ${PROJECT_SOURCE_DIR}/resources/make_icon.py --sizes ${generated}/icons
    DEPENDS ${PROJECT_SOURCE_DIR}/resources/make_icon.py)
  add_custom_command(OUTPUT ${generated}/quiltcam.1.gz ${generated}/changelog.Debian.gz
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/resources/quiltcam.1 > ${generated}/quiltcam.1.gz
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/resources/debian/changelog > ${generated}/changelog.Debian.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/resources/quiltcam.1 ${PROJECT_SOURCE_DIR}/resources/debian/changelog)
  add_custom_target(installed_files ALL DEPENDS ${icons} ${generated}/quiltcam.1.gz ${generated}/changelog.Debian.gz)
  file(MAKE_DIRECTORY ${generated})
  file(CREATE_LINK quiltcam.1.gz ${generated}/quiltcam-fullscreen.1.gz SYMBOLIC)
  install(DIRECTORY ${generated}/icons/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
  install(FILES ${generated}/quiltcam.1.gz ${generated}/quiltcam-fullscreen.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES resources/debian/copyright ${generated}/changelog.Debian.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quiltcam)

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SECTION video)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)
