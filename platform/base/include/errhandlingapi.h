// The calling thread's last error: every platform call that fails records its reason here.
#pragma once

#include "windef.h"

DWORD GetLastError();
void SetLastError(DWORD code);
