# The Internet client operations (over libcurl), module handles and message texts.
find_package(OpenSSL REQUIRED)
target_sources(dorvane_platform PRIVATE
  wininet.h
  wininet_errors.h wininet_errors.cpp
  wininet_url.cpp
  wininet_handles.h wininet_handles.cpp
  wininet_curl.h wininet_curl.cpp
  wininet_response_head.h wininet_response_head.cpp
  wininet_session.h wininet_session.cpp
  wininet_driver_loop.h wininet_driver_loop.cpp
  wininet_transfer.h wininet_transfer.cpp wininet_transfer_setup.cpp
  wininet_request.cpp
  libloaderapi.h libloaderapi.cpp module_handles.h
  winbase.h winbase.cpp
)
target_link_libraries(dorvane_platform PRIVATE CURL::libcurl OpenSSL::SSL OpenSSL::Crypto)
