/// @file
/// Module handles: the program's own module, and the library modules whose message tables
/// FormatMessageA reads.
#pragma once

#include "dorvane_http_export.h"
#include "windef.h"

/// No module of that name.
inline constexpr DWORD ERROR_MOD_NOT_FOUND = 126;

/// nullptr: the program's module. "wininet.dll" (any case): the Internet client library's
/// module. Any other name: nullptr with ERROR_MOD_NOT_FOUND.
DORVANE_HTTP_EXPORT HMODULE GetModuleHandleA(LPCSTR moduleName);
