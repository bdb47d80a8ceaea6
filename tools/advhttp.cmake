# advhttp: the component from the command line
if(TARGET dorvane_http)
  add_executable(advhttp advhttp.cpp)
  target_link_libraries(advhttp PRIVATE dorvane_http Qt6::Core)
endif()
