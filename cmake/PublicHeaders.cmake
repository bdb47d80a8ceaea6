# The public headers: the component's, and of the platform layer exactly what they expose or a
# caller needs with them (types and codes, the last error and its texts, the Internet client,
# waiting on, resetting and closing CompletionEvent). The rest of each family is private.
# Installed side by side in include/dorvane (cmake/Library.cmake); they include each other with
# quotes, so the one folder serves.
set(DORVANE_PUBLIC_HEADERS
  http/model/Exception.h http/model/TComponent.h http/model/TPropertyInfo.h http/model/TStringList.h
  http/model/TReader.h http/model/TWriter.h http/TInternetFlags.h http/uAdvHttp.h
  platform/base/include/windef.h platform/base/include/winerror.h
  platform/base/include/errhandlingapi.h platform/base/include/winbase.h
  platform/base/include/libloaderapi.h
  platform/kernel/include/synchapi.h platform/kernel/include/handleapi.h
  platform/wininet/include/wininet.h
)
list(TRANSFORM DORVANE_PUBLIC_HEADERS PREPEND ${PROJECT_SOURCE_DIR}/)
set(DORVANE_EXPORT_HEADER_DIR ${CMAKE_BINARY_DIR}/export)
list(APPEND DORVANE_PUBLIC_HEADERS ${DORVANE_EXPORT_HEADER_DIR}/dorvane_http_export.h)
