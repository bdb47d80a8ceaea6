# Window classes, windows and messages over Qt's event loop. Qt stays out of the headers.
target_sources(dorvane_platform PRIVATE winuser.h winuser_qt.cpp)
target_link_libraries(dorvane_platform PRIVATE Qt6::Core)
