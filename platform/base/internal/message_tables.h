// Message tables of the library modules FormatMessageA reads (FORMAT_MESSAGE_FROM_HMODULE).
// base knows no other family: a family that owns a module hands its table over when its code is
// loaded, by a namespace-scope initializer in the source that defines the texts.
#pragma once

#include "windef.h"

namespace platform {

// The text of a code in a module's table; nullptr for a code the module holds no text for.
using MessageTable = const char* (*)(DWORD code);

// The Internet client's table, read for GetModuleHandleA("wininet.dll").
void SetInternetMessageTable(MessageTable table);

} // namespace platform
