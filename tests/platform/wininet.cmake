# Tests of the Internet client operations. Every request runs on the layer's thread, so all
# suites that talk to a server are labelled threaded.
add_library(dorvane_wininet_test_support STATIC wininet_test_support.h wininet_test_support.cpp)
target_link_libraries(dorvane_wininet_test_support PUBLIC dorvane_platform dorvane_test_support)

dorvane_add_gtest(wininet_url_test
  SOURCES wininet_url_test.cpp
  LIBS dorvane_platform
  LABELS unit)

dorvane_add_gtest(wininet_request_test
  SOURCES wininet_request_test.cpp
  LIBS dorvane_wininet_test_support
  LABELS threaded
  TIMEOUT 60)

dorvane_add_gtest(wininet_auth_test
  SOURCES wininet_auth_test.cpp
  LIBS dorvane_wininet_test_support
  LABELS threaded
  TIMEOUT 60)

dorvane_add_gtest(wininet_tls_test
  SOURCES wininet_tls_test.cpp
  LIBS dorvane_wininet_test_support
  LABELS threaded
  TIMEOUT 60)

dorvane_add_gtest(wininet_async_test
  SOURCES wininet_async_test.cpp
  LIBS dorvane_wininet_test_support
  LABELS threaded
  TIMEOUT 60)
