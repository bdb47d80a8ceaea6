// Reading a registry value whole, the way every program here does it: ask its size, read it,
// and ask again when it grew in between (another program wrote it), a bounded number of times.
#pragma once

#include <string>

#include "winreg.h"

// The value's type and bytes (exactly as stored). ERROR_SUCCESS; ERROR_FILE_NOT_FOUND when the
// value doesn't exist; ERROR_MORE_DATA when it kept changing size through every attempt; or the
// code the read failed with. type and data are left alone unless it succeeds.
[[nodiscard]] LONG RegReadValue(HKEY key, LPCSTR valueName, DWORD& type, std::string& data);
