# Installation as a desktop program, and the Debian package.
#   cmake --install build/release --prefix /usr/local
#   cpack --config build/release/CPackConfig.cmake      (makes dorvane-account-setup_*.deb)
include(GNUInstallDirs)

foreach(program dorvane-setup dorvane-reg advhttp)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/resources/dorvane-setup.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# Where software centres look for what they show of the program.
install(FILES ${PROJECT_SOURCE_DIR}/resources/com.dorvane.accountsetup.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
# The icon in the hicolor theme: the window's own 32-pixel picture, the other sizes drawn after
# it (scripts/render-icons.sh), and the drawing itself.
set(DORVANE_ICON_SIZES 16 24 32 48 64 128 256)
foreach(size IN LISTS DORVANE_ICON_SIZES)
  if(size EQUAL 32)
    set(icon ${PROJECT_SOURCE_DIR}/resources/Project1.png)
  else()
    set(icon ${PROJECT_SOURCE_DIR}/resources/icons/dorvane-setup-${size}.png)
  endif()
  install(FILES ${icon} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME dorvane-setup.png)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/resources/icons/dorvane-setup.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

set(CPACK_PACKAGE_NAME "dorvane-account-setup")
set(CPACK_PACKAGE_VENDOR "Dorvane")
set(CPACK_PACKAGE_CONTACT "Dorvane developers <dev@dorvane.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Connects a Dorvane file-storage user to an account")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
# Declared by hand rather than through dpkg-shlibdeps, so packaging needs no dpkg-dev; the list
# is what the programs link, plus the platform plugins (X11, and Wayland for a native window on a
# Wayland desktop), the icon theme its icons belong to, and the font the window is laid out for.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libc6 (>= 2.36), libstdc++6 (>= 12), libqt6core6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6widgets6 (>= 6.4), qt6-qpa-plugins, qt6-wayland, hicolor-icon-theme, libcurl4 (>= 7.80), libssl3 (>= 3.0), libjpeg62-turbo, libsqlite3-0, fonts-liberation2")
include(CPack)
