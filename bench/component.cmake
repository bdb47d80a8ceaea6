# The component side by side with raw libcurl and the curl command, and the wizard's first frame:
# run build/release/bench/bench_runner (scripts/bench.sh builds and runs it).
add_executable(bench_server bench_server.cpp)
target_link_libraries(bench_server PRIVATE bench_yardsticks)
add_executable(bench_raw_libcurl bench_raw_libcurl.cpp)
target_link_libraries(bench_raw_libcurl PRIVATE bench_yardsticks)
if(TARGET dorvane_wizard AND TARGET advhttp)
  add_executable(wizard_first_frame wizard_first_frame.cpp)
  target_link_libraries(wizard_first_frame PRIVATE dorvane_wizard)
  add_executable(bench_runner bench_runner.cpp)
  target_compile_definitions(bench_runner PRIVATE
    BENCH_SERVER="$<TARGET_FILE:bench_server>"
    BENCH_RAW_LIBCURL="$<TARGET_FILE:bench_raw_libcurl>"
    ADVHTTP="$<TARGET_FILE:advhttp>"
    WIZARD_FIRST_FRAME="$<TARGET_FILE:wizard_first_frame>")
  add_dependencies(bench_runner bench_server bench_raw_libcurl advhttp wizard_first_frame)
endif()
