// Reads or writes one value of the settings hive, for the real-window tests:
//   dorvane_hive_value "Software\Dorvane Pro\Settings" PassWord   ->   1 e1e2e300
//   dorvane_hive_value "Software\Dorvane Pro" wPath 127.0.0.1:8080  (writes a REG_SZ)
#include <cstdio>
#include <cstring>
#include <vector>

#include "winreg.h"

namespace {

int Print(const char* keyName, const char* name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, keyName, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        std::fputs("no such key\n", stderr);
        return 1;
    }
    DWORD type = 0;
    DWORD size = 0;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
    std::vector<BYTE> data(size);
    if (rc == ERROR_SUCCESS)
        rc = RegQueryValueExA(key, name, nullptr, &type, data.data(), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        std::fputs("no such value\n", stderr);
        return 1;
    }
    std::printf("%u ", static_cast<unsigned>(type));
    for (DWORD i = 0; i < size; ++i)
        std::printf("%02x", data[i]);
    std::printf("\n");
    return 0;
}

int Write(const char* keyName, const char* name, const char* text)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, keyName, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        std::fputs("can't create the key\n", stderr);
        return 1;
    }
    const LONG rc = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                   static_cast<DWORD>(std::strlen(text) + 1));
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        std::fputs("can't write the value\n", stderr);
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3)
        return Print(argv[1], argv[2]);
    if (argc == 4)
        return Write(argv[1], argv[2], argv[3]);
    std::fputs("usage: dorvane_hive_value KEY NAME [TEXT]\n", stderr);
    return 2;
}
