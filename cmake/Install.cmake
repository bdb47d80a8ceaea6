# Installation as a desktop program, and the Debian package.
#   cmake --install build/release --prefix /usr/local
#   cpack --config build/release/CPackConfig.cmake      (makes dorvane-account-setup_*.deb)
include(GNUInstallDirs)

foreach(program dorvane-setup reg advhttp)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/resources/dorvane-setup.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/resources/Project1.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps
        RENAME dorvane-setup.png)

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
# is what the programs link, plus the platform plugin and the font the window is laid out for.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libc6 (>= 2.36), libstdc++6 (>= 12), libqt6core6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6widgets6 (>= 6.4), qt6-qpa-plugins, libcurl4 (>= 7.80), libssl3 (>= 3.0), libjpeg62-turbo, libsqlite3-0, fonts-liberation2")
include(CPack)
