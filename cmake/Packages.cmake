# The Debian packages: one per install component (cmake/Install.cmake), each with its own
# copyright file and changelog, made by CPack and checked with lintian by
# tests/app/package_check.sh (no error, no warning).
#   cd build/release && cpack        ->  dorvane-account-setup_1.0.0_amd64.deb, and
#                                        libdorvane-http1_*.deb, libdorvane-http-dev_*.deb once
#                                        the library installs into the runtime and dev components
# Dependencies on other Debian packages come from dpkg-shlibdeps (package dpkg-dev) for what the
# binaries link, plus the hand-written ones below for what is only loaded or looked up at run time.

# A file installed without a component would end up in a package nobody asked for.
get_cmake_property(dorvane_components COMPONENTS)
if("Unspecified" IN_LIST dorvane_components)
  message(FATAL_ERROR "an install() rule has no COMPONENT: give it wizard, runtime or dev")
endif()

set(dorvane_package_runtime libdorvane-http1)
set(dorvane_package_dev libdorvane-http-dev)
set(dorvane_package_wizard dorvane-account-setup)
set(dorvane_section_runtime libs)
set(dorvane_section_dev libdevel)
set(dorvane_section_wizard net)

set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "TAdvHttp HTTP client component - shared library
TAdvHttp is a reusable HTTP client component for C++ and Qt programs, with
properties, events, and synchronous and asynchronous requests. It stands on a
small layer of Internet-client, message-window and thread calls built on
libcurl and Qt.

This package holds the shared library that programs using TAdvHttp run with.")
set(CPACK_DEBIAN_DEV_DESCRIPTION "TAdvHttp HTTP client component - development files
TAdvHttp is a reusable HTTP client component for C++ and Qt programs, with
properties, events, and synchronous and asynchronous requests.

This package holds what building a program with TAdvHttp needs: the headers,
the CMake package, the pkg-config file and the API reference.")
set(CPACK_DEBIAN_WIZARD_DESCRIPTION "connects a Dorvane file-storage user to an account
Dorvane Account Setup is a small desktop wizard for users of the Dorvane
file-storage service. A new user signs up through the service's web server,
an existing user signs in. The wizard stores the login name and a scrambled
password in the per-user settings hive and can start the Dorvane desktop
application when it closes.

The package also holds dorvane-reg, which reads and changes the settings
hive, and advhttp, which makes one HTTP request through the wizard's HTTP
component from the command line.")

# What the wizard needs beyond what it links: the platform plugins (X11, and Wayland for a
# native window on a Wayland desktop), the icon theme its icons belong to, and the font the
# window is laid out for.
set(CPACK_DEBIAN_WIZARD_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-wayland, hicolor-icon-theme, fonts-liberation2")
# The library's packages go together at one version; the -dev package also needs the -dev
# packages of the dependencies its CMake package finds.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${dorvane_package_runtime} (= ${PROJECT_VERSION}), qt6-base-dev")
if("runtime" IN_LIST dorvane_components)
  string(PREPEND CPACK_DEBIAN_WIZARD_PACKAGE_DEPENDS "${dorvane_package_runtime} (= ${PROJECT_VERSION}), ")
endif()

# Every package's changelog is the source's one; its first entry must be this version.
set(changelog ${PROJECT_SOURCE_DIR}/resources/debian/changelog)
file(STRINGS ${changelog} changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^${dorvane_package_wizard} \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "${changelog} must start with an entry for version ${PROJECT_VERSION}")
endif()
dorvane_gzip(${changelog} ${CMAKE_BINARY_DIR}/debian/changelog.gz)
add_custom_target(dorvane_debian_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.gz)

set(CPACK_COMPONENTS_ALL)
foreach(component runtime dev wizard)
  if(NOT component IN_LIST dorvane_components)
    continue()
  endif()
  list(APPEND CPACK_COMPONENTS_ALL ${component})
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${dorvane_package_${component}})
  set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${dorvane_section_${component}})
  set(CPACK_DEBIAN_${upper}_PACKAGE_SOURCE ${dorvane_package_wizard})
  install(FILES ${PROJECT_SOURCE_DIR}/resources/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${dorvane_package_${component}}
          COMPONENT ${component})
endforeach()
# The developer's guide beside the headers it explains (the headers carry the reference itself;
# scripts/reference.sh renders both as HTML, which is not packaged: Doxygen's pages bundle their
# own copy of a JavaScript library, which Debian wants shared instead).
if(dev IN_LIST dorvane_components)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/guide.md
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${dorvane_package_dev} COMPONENT dev)
endif()

# Directories of this build's shared libraries, where dpkg-shlibdeps finds the library a program
# of another package links.
set(dorvane_library_dirs)
set(folders ${PROJECT_SOURCE_DIR})
while(folders)
  list(POP_FRONT folders folder)
  get_property(subfolders DIRECTORY ${folder} PROPERTY SUBDIRECTORIES)
  list(APPEND folders ${subfolders})
  get_property(targets DIRECTORY ${folder} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "SHARED_LIBRARY")
      get_target_property(output ${target} LIBRARY_OUTPUT_DIRECTORY)
      if(NOT output)
        get_target_property(output ${target} BINARY_DIR)
      endif()
      list(APPEND dorvane_library_dirs ${output})
    endif()
  endforeach()
endwhile()
list(REMOVE_DUPLICATES dorvane_library_dirs)

set(CPACK_GENERATOR "DEB")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_PACKAGE_NAME ${dorvane_package_wizard})
set(CPACK_PACKAGE_VENDOR "Dorvane")
set(CPACK_PACKAGE_CONTACT "Dorvane developers <dev@dorvane.com>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${dorvane_library_dirs})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# CPack calls ldconfig from a library package's maintainer scripts; this turns that into the
# ldconfig trigger Debian asks for.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/DebianLdconfigTrigger.cmake)
include(CPack)
