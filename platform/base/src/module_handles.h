// Inside the platform layer: the module handles GetModuleHandleA gives out, so FormatMessageA
// can tell which message table it is asked to read.
#pragma once

#include "windef.h"

namespace platform {

HMODULE programModule();
HMODULE internetModule();

} // namespace platform
