/// @file
/// Closing kernel object handles (events, threads).
#pragma once

#include "dorvane_http_export.h"
#include "windef.h"
#include "winerror.h"

/// Frees the handle; the object lives on while something still uses it (a running thread ends
/// normally). FALSE with ERROR_INVALID_HANDLE for a handle that isn't open.
DORVANE_HTTP_EXPORT BOOL CloseHandle(HANDLE handle);
