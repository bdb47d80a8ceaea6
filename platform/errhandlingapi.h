/// @file
/// The calling thread's last error: every platform call that fails records its reason here.
#pragma once

#include "windef.h"

/// The calling thread's last error code: the reason the last failed platform call gave.
DWORD GetLastError();
/// Sets the calling thread's last error code.
void SetLastError(DWORD code);
