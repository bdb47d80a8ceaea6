// Prints one value of the settings hive as "<type> <hex bytes>", for the real-window tests:
//   dorvane_hive_value "Software\Dorvane Pro\Settings" PassWord   ->   1 e1e2e300
#include <cstdio>
#include <vector>

#include "winreg.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fputs("usage: dorvane_hive_value KEY NAME\n", stderr);
        return 2;
    }
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, argv[1], 0, KEY_READ, &key) != ERROR_SUCCESS) {
        std::fputs("no such key\n", stderr);
        return 1;
    }
    DWORD type = 0;
    DWORD size = 0;
    LONG rc = RegQueryValueExA(key, argv[2], nullptr, &type, nullptr, &size);
    std::vector<BYTE> data(size);
    if (rc == ERROR_SUCCESS)
        rc = RegQueryValueExA(key, argv[2], nullptr, &type, data.data(), &size);
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
