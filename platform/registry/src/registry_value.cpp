#include "registry_value.h"

namespace {

// A value may change size between asking for its size and reading it; a few rounds settle it.
constexpr int readAttempts = 4;

} // namespace

LONG RegReadValue(HKEY key, LPCSTR valueName, DWORD& type, std::string& data)
{
    LONG rc = ERROR_MORE_DATA;
    for (int attempt = 0; attempt < readAttempts && rc == ERROR_MORE_DATA; ++attempt) {
        DWORD size = 0;
        rc = RegQueryValueExA(key, valueName, nullptr, nullptr, nullptr, &size);
        if (rc != ERROR_SUCCESS)
            return rc;
        std::string bytes(size, '\0');
        DWORD found = REG_NONE;
        rc = RegQueryValueExA(key, valueName, nullptr, &found, reinterpret_cast<LPBYTE>(bytes.data()), &size);
        if (rc == ERROR_SUCCESS) {
            bytes.resize(size);
            type = found;
            data = std::move(bytes);
        }
    }
    return rc;
}
