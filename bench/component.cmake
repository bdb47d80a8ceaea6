# advhttp side by side with raw libcurl and the curl command, every client a process measured
# from outside, and the wizard's first frame (scripts/bench.sh builds and runs it).
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
    WIZARD_FIRST_FRAME="$<TARGET_FILE:wizard_first_frame>"
    BENCH_BUILD="${CMAKE_BUILD_TYPE}")
  add_dependencies(bench_runner bench_server bench_raw_libcurl advhttp wizard_first_frame)
endif()

# TAdvHttp against the yardsticks in one process: kept body, request rate, many at once, slow
# responses, idle.
if(TARGET dorvane_http)
  add_executable(component_bench component_bench.cpp ThreadCensus.cpp)
  target_link_libraries(component_bench PRIVATE dorvane_http bench_yardsticks Qt6::Core ${CMAKE_DL_LIBS})
  target_compile_definitions(component_bench PRIVATE
    BENCH_SERVER="$<TARGET_FILE:bench_server>" BENCH_BUILD="${CMAKE_BUILD_TYPE}")
  add_dependencies(component_bench bench_server)
endif()

# The same benchmark with the component linked statically (the white-box twin of the shared
# library's objects): the shared library must cost nothing measurable beside it.
if(TARGET dorvane_http_whitebox)
  add_executable(component_bench_static component_bench.cpp ThreadCensus.cpp)
  target_link_libraries(component_bench_static PRIVATE dorvane_http_whitebox bench_yardsticks Qt6::Core ${CMAKE_DL_LIBS})
  target_compile_definitions(component_bench_static PRIVATE
    BENCH_SERVER="$<TARGET_FILE:bench_server>" BENCH_BUILD="${CMAKE_BUILD_TYPE} static")
  add_dependencies(component_bench_static bench_server)
endif()
