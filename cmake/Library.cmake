# Installing the component's library for programs outside this tree:
#   runtime  libdorvane-http.so.1 and libdorvane-http.so.1.0.0
#   dev      the public headers in include/dorvane, the libdorvane-http.so link, the CMake package
#            (find_package(DorvaneHttp 1.0) -> Dorvane::Http) and the pkg-config file
# A program includes <dorvane/uAdvHttp.h>; the headers include each other with quotes, so they
# work side by side in the one folder.
include(CMakePackageConfigHelpers)

# The public headers are listed in cmake/PublicHeaders.cmake.
set(dorvane_include_dir ${CMAKE_INSTALL_INCLUDEDIR}/dorvane)
set(dorvane_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/DorvaneHttp)

install(TARGETS dorvane_http EXPORT DorvaneHttpTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(FILES ${DORVANE_PUBLIC_HEADERS} DESTINATION ${dorvane_include_dir} COMPONENT dev)
install(EXPORT DorvaneHttpTargets NAMESPACE Dorvane:: FILE DorvaneHttpTargets.cmake
  DESTINATION ${dorvane_cmake_dir} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/DorvaneHttpConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/DorvaneHttpConfig.cmake INSTALL_DESTINATION ${dorvane_cmake_dir})
# 1.x programs run with any later 1.y library; 2.0 would be a new SONAME.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/DorvaneHttpConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/DorvaneHttpConfig.cmake
              ${CMAKE_BINARY_DIR}/package/DorvaneHttpConfigVersion.cmake
  DESTINATION ${dorvane_cmake_dir} COMPONENT dev)

# pkg-config, for programs built with make or meson: pkg-config --cflags --libs dorvane-http
# The prefix is the one installed to (cmake --install --prefix, or /usr in the packages), so the
# file is written at install time; the rest is known now.
set(PREFIX_AT_INSTALL "@CMAKE_INSTALL_PREFIX@")
configure_file(${CMAKE_CURRENT_LIST_DIR}/dorvane-http.pc.in ${CMAKE_BINARY_DIR}/package/dorvane-http.pc.in @ONLY)
install(CODE "configure_file(\"${CMAKE_BINARY_DIR}/package/dorvane-http.pc.in\"
  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/dorvane-http.pc\" @ONLY)
  message(STATUS \"Installing: \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/dorvane-http.pc\")"
  COMPONENT dev)
