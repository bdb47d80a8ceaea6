# reg: the settings hive from the command line
add_executable(reg reg.cpp)
target_link_libraries(reg PRIVATE dorvane_platform)
