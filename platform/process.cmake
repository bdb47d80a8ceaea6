# Starting programs (WinExec) by fork and exec.
target_sources(dorvane_platform PRIVATE winexec.h winexec_posix.cpp)
