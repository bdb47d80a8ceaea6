# tests of the dorvane-reg tool: it runs as its own process, as a script would run it
dorvane_add_gtest(test_dorvane_reg
  SOURCES DorvaneRegToolTest.cpp
  LIBS dorvane_registry dorvane_base_static dorvane_test_support SQLite::SQLite3 Qt6::Core
  LABELS unit
  TIMEOUT 300)
target_compile_definitions(test_dorvane_reg PRIVATE REG_TOOL_PATH="$<TARGET_FILE:dorvane-reg>"
  FAULT_SHIM_PATH="$<TARGET_FILE:dorvane_fault_shim>"
  DORVANE_FIRST_RELEASE_HIVE="${PROJECT_SOURCE_DIR}/tests/platform/registry/data/hive-1.0.0.db")
add_dependencies(test_dorvane_reg dorvane-reg dorvane_fault_shim)
