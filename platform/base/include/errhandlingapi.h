/// @file
/// The calling thread's last error: every platform call that fails records its reason here.
#pragma once

#include "dorvane_http_export.h"
#include "windef.h"

/// The calling thread's last error code: the reason the last failed platform call gave.
DORVANE_HTTP_EXPORT DWORD GetLastError();
/// Sets the calling thread's last error code.
DORVANE_HTTP_EXPORT void SetLastError(DWORD code);
