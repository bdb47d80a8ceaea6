# tests of the kernel family: kernel objects (events, threads) and windows with their messages.
# Both suites cross threads on purpose, so both are labelled to run under ThreadSanitizer too.
dorvane_add_gtest(platform_kernel_objects_tests
  SOURCES kernel_objects_test.cpp
  LIBS dorvane_platform
  LABELS threaded
  TIMEOUT 60)
dorvane_add_gtest(platform_window_messages_tests
  SOURCES window_messages_test.cpp
  LIBS dorvane_platform
  LABELS threaded
  TIMEOUT 60)

# Starting programs; forks, so it stays out of the ThreadSanitizer run.
dorvane_add_gtest(platform_winexec_tests
  SOURCES winexec_test.cpp
  LIBS dorvane_platform
  LABELS unit
  TIMEOUT 60)
