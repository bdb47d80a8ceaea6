// The calling thread's last error: every platform call that fails records its reason here.
#pragma once

#include "dorvane_http_export.h"
#include "windef.h"

DORVANE_HTTP_EXPORT DWORD GetLastError();
DORVANE_HTTP_EXPORT void SetLastError(DWORD code);
