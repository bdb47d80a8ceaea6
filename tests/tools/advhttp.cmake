# tests of advhttp: it runs as its own process
if(TARGET advhttp)
  dorvane_add_gtest(test_advhttp
    SOURCES AdvhttpToolTest.cpp
    LIBS dorvane_test_support Qt6::Core
    LABELS unit
    TIMEOUT 120)
  target_compile_definitions(test_advhttp PRIVATE ADVHTTP_PATH="$<TARGET_FILE:advhttp>")
  add_dependencies(test_advhttp advhttp)
endif()
