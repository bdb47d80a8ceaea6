# Installation as a desktop program. Every file belongs to a component, and each component is
# one Debian package (cmake/Packages.cmake):
#   wizard   dorvane-account-setup  the programs, their manual pages, what desktops show
#   runtime  libdorvane-http1       the component's shared library
#   dev      libdorvane-http-dev    headers, CMake package, pkg-config file, reference
# A component is packaged once something is installed into it.
#   cmake --install build/release --prefix /usr/local
#   cmake --install build/release --component wizard --prefix /usr/local

# dorvane_gzip(SOURCE OUTPUT): OUTPUT is SOURCE compressed at build time the way Debian wants
# documentation (-9, and -n: no name or time stamp inside, so a rebuild gives the same bytes).
find_program(GZIP_PROGRAM gzip REQUIRED)
function(dorvane_gzip source output)
  get_filename_component(folder ${output} DIRECTORY)
  string(REGEX REPLACE "\\.gz$" "" plain ${output})
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${plain}
    COMMAND ${GZIP_PROGRAM} -9 -n -f ${plain}
    DEPENDS ${source}
    VERBATIM)
endfunction()

# The commands, each with its manual page (compressed, as Debian wants them). The hive tool is
# dorvane-reg, not reg: a command in PATH should not claim a name any other tool could want.
# The reference service (dorvane-devserver) is not installed: it stands in for the real Dorvane
# service in local runs and tests, and nobody who installs the wizard needs it.
set(manual_pages)
foreach(program dorvane-setup dorvane-reg advhttp)
  if(NOT TARGET ${program})
    continue()
  endif()
  install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT wizard)
  set(source ${PROJECT_SOURCE_DIR}/docs/man/${program}.1)
  if(NOT EXISTS ${source})
    message(FATAL_ERROR "${program} is installed without a manual page: write ${source}")
  endif()
  configure_file(${source} ${CMAKE_BINARY_DIR}/man/versioned/${program}.1 @ONLY)  # @PROJECT_VERSION@
  dorvane_gzip(${CMAKE_BINARY_DIR}/man/versioned/${program}.1 ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
  list(APPEND manual_pages ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
endforeach()
add_custom_target(dorvane_manual_pages ALL DEPENDS ${manual_pages})
install(FILES ${manual_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT wizard)

install(FILES ${PROJECT_SOURCE_DIR}/resources/dorvane-setup.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT wizard)
# Where software centres look for what they show of the program.
install(FILES ${PROJECT_SOURCE_DIR}/resources/com.dorvane.accountsetup.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT wizard)
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
          RENAME dorvane-setup.png COMPONENT wizard)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/resources/icons/dorvane-setup.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT wizard)

include(${CMAKE_CURRENT_LIST_DIR}/Library.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/Packages.cmake)
