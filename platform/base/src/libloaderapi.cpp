#include "libloaderapi.h"

#include "ascii_text.h"
#include "errhandlingapi.h"
#include "module_handles.h"

namespace platform {

namespace {
// The modules are not loaded from files here; each is a fixed token that only identifies it.
struct ModuleToken {
    char unused;
};
ModuleToken programToken;
ModuleToken internetToken;
} // namespace

HMODULE programModule()
{
    return reinterpret_cast<HMODULE>(&programToken);
}

HMODULE internetModule()
{
    return reinterpret_cast<HMODULE>(&internetToken);
}

} // namespace platform

HMODULE GetModuleHandleA(LPCSTR moduleName)
{
    if (moduleName == nullptr)
        return platform::programModule();
    if (platform::ascii::equalIgnoringCase(moduleName, "wininet.dll") ||
        platform::ascii::equalIgnoringCase(moduleName, "wininet"))
        return platform::internetModule();
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}
