// InternetCombineUrlA with an arbitrary base, relative reference, flags and buffer size: never a
// write past the buffer; a too-small buffer reports the size needed, and a buffer of exactly that
// size then succeeds with the same text.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FuzzInput.h"
#include "winerror.h"
#include "errhandlingapi.h"
#include "wininet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    const DWORD flags = input.TakeU32() & (ICU_ENCODE_SPACES_ONLY | ICU_NO_ENCODE | ICU_DECODE | ICU_NO_META |
                                           ICU_BROWSER_MODE);
    const DWORD offered = input.TakeU32() % 4096;
    const std::string base = input.TakeString();
    const std::string relative = input.TakeRest();

    std::vector<char> buffer(offered + 1, '\x7f');
    DWORD length = offered;
    const BOOL ok = InternetCombineUrlA(base.c_str(), relative.c_str(), buffer.data(), &length, flags);
    if (buffer[offered] != '\x7f')
        std::abort();
    if (ok) {
        if (length >= offered || std::strlen(buffer.data()) != length)
            std::abort();
        return 0;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return 0;
    if (length <= offered)
        std::abort(); // the size needed must be more than was offered
    std::vector<char> exact(length + 1, '\x7f');
    DWORD exactLength = length;
    if (!InternetCombineUrlA(base.c_str(), relative.c_str(), exact.data(), &exactLength, flags))
        std::abort();
    if (exact[length] != '\x7f' || exactLength + 1 != length)
        std::abort();
    return 0;
}
