# tests of the reg tool: it runs as its own process, as a script would run it
dorvane_add_gtest(test_reg
  SOURCES test_reg.cpp
  LIBS dorvane_platform SQLite::SQLite3 Qt6::Core
  LABELS unit
  TIMEOUT 300)
target_compile_definitions(test_reg PRIVATE REG_TOOL_PATH="$<TARGET_FILE:reg>"
  FAULT_SHIM_PATH="$<TARGET_FILE:dorvane_fault_shim>")
add_dependencies(test_reg reg dorvane_fault_shim)
