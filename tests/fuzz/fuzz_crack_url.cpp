// InternetCrackUrlA with arbitrary text, flags and caller buffer sizes: it must never write past
// a buffer, and what it reports must lie inside what it was given.
#include <cstdlib>
#include <vector>

#include "FuzzInput.h"
#include "wininet.h"

namespace {

struct Part {
    explicit Part(DWORD size)
        : buffer(size + 1, '\x7f')
        , size(size)
    {
    }
    std::vector<char> buffer; // one guard byte past the size offered
    DWORD size;
};

void CheckPart(const Part& part, DWORD reportedLength, bool succeeded)
{
    if (part.buffer[part.size] != '\x7f')
        std::abort(); // wrote past the buffer
    if (succeeded && part.size > 0 && reportedLength >= part.size)
        std::abort(); // a copied part must leave room for its NUL
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    const DWORD flags = input.TakeU32() & (ICU_ESCAPE | ICU_DECODE);
    const DWORD sizes = input.TakeU32();
    const std::string url = input.TakeRest();

    Part host(sizes & 0x1ff), user((sizes >> 9) & 0x7f), password((sizes >> 16) & 0x7f),
        path(((sizes >> 23) & 0x1ff) * 4), extra(((sizes >> 23) & 0x1ff) * 4 + 1);
    URL_COMPONENTSA components{};
    components.dwStructSize = sizeof components;
    components.lpszHostName = host.buffer.data();
    components.dwHostNameLength = host.size;
    components.lpszUserName = user.buffer.data();
    components.dwUserNameLength = user.size;
    components.lpszPassword = password.buffer.data();
    components.dwPasswordLength = password.size;
    components.lpszUrlPath = path.buffer.data();
    components.dwUrlPathLength = path.size;
    components.lpszExtraInfo = extra.buffer.data();
    components.dwExtraInfoLength = extra.size;

    const bool ok = InternetCrackUrlA(url.c_str(), static_cast<DWORD>(url.size()), flags, &components) != FALSE;
    CheckPart(host, components.dwHostNameLength, ok);
    CheckPart(user, components.dwUserNameLength, ok);
    CheckPart(password, components.dwPasswordLength, ok);
    CheckPart(path, components.dwUrlPathLength, ok);
    CheckPart(extra, components.dwExtraInfoLength, ok);

    // The same text with pointers into the URL instead of buffers.
    URL_COMPONENTSA pointers{};
    pointers.dwStructSize = sizeof pointers;
    pointers.dwSchemeLength = pointers.dwHostNameLength = pointers.dwUserNameLength = 1;
    pointers.dwPasswordLength = pointers.dwUrlPathLength = pointers.dwExtraInfoLength = 1;
    if (InternetCrackUrlA(url.c_str(), static_cast<DWORD>(url.size()), 0, &pointers)) {
        const char* begin = url.c_str();
        const char* end = begin + url.size();
        auto inside = [&](const char* part, DWORD length) {
            if (part != nullptr && (part < begin || part + length > end))
                std::abort();
        };
        inside(pointers.lpszScheme, pointers.dwSchemeLength);
        inside(pointers.lpszHostName, pointers.dwHostNameLength);
        inside(pointers.lpszUserName, pointers.dwUserNameLength);
        inside(pointers.lpszPassword, pointers.dwPasswordLength);
        inside(pointers.lpszUrlPath, pointers.dwUrlPathLength);
        inside(pointers.lpszExtraInfo, pointers.dwExtraInfoLength);
    }
    return 0;
}
