# Kernel objects (events, threads) and their handles, over the C++ standard library.
target_sources(dorvane_platform PRIVATE
  kernelobject.h kernelobject.cpp
  synchapi.h synchapi_std.cpp
  handleapi.h handleapi_std.cpp
  processthreadsapi.h processthreadsapi_std.cpp
)
