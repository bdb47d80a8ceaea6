# Shared test helpers: HTTP servers on 127.0.0.1 (cpp-httplib and a scripted socket server),
# test certificates made at run time, and a log of the events a test saw.
add_library(dorvane_test_support STATIC
  LocalHttpServer.h LocalHttpServer.cpp
  ScriptedServer.h ScriptedServer.cpp
  EventLog.h SqlAnswer.h
  TestCertificates.h TestCertificates.cpp
)
target_include_directories(dorvane_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
find_package(OpenSSL REQUIRED)
target_link_libraries(dorvane_test_support PUBLIC PkgConfig::HTTPLIB OpenSSL::SSL OpenSSL::Crypto Threads::Threads)

# The fault shim is preloaded into programs under test; it is built without sanitizers, whose
# runtimes must come first in a process and would not share it.
add_library(dorvane_fault_shim SHARED fault_shim.c)
target_compile_options(dorvane_fault_shim PRIVATE -fno-sanitize=all -Wno-pedantic)
target_link_options(dorvane_fault_shim PRIVATE -fno-sanitize=all)
target_link_libraries(dorvane_fault_shim PRIVATE ${CMAKE_DL_LIBS})
set_target_properties(dorvane_fault_shim PROPERTIES AUTOMOC OFF AUTOUIC OFF)
