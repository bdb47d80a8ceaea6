# dorvane-reg: the settings hive from the command line, with the familiar syntax under a name
# of its own (a plain "reg" in PATH would claim a name any other tool could want)
add_executable(dorvane-reg dorvane-reg.cpp)
# Only the registry and base: no thread, window or Internet code in it.
target_link_libraries(dorvane-reg PRIVATE dorvane_registry dorvane_base_static dorvane_ascii_text dorvane_unicode_text)
