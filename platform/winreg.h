// The settings hive: the registry calls the programs make, under their usual names and
// conventions (LONG results carrying system error codes, caller-owned buffers, handles closed
// with RegCloseKey). Storage is one SQLite database per user, see registry_sqlite.cpp.
#pragma once

#include "windef.h"
#include "winerror.h"

using HKEY = struct HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;

// Predefined roots. Only HKEY_CURRENT_USER is backed by storage; the others fail with
// ERROR_FILE_NOT_FOUND (opening) or ERROR_ACCESS_DENIED (creating).
#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<std::intptr_t>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<std::intptr_t>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::intptr_t>(0x80000002u)))
#define HKEY_USERS (reinterpret_cast<HKEY>(static_cast<std::intptr_t>(0x80000003u)))

// Access masks.
inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_CREATE_LINK = 0x0020;
inline constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
inline constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
inline constexpr REGSAM DELETE = 0x00010000;
inline constexpr REGSAM READ_CONTROL = 0x00020000;
inline constexpr REGSAM WRITE_DAC = 0x00040000;
inline constexpr REGSAM WRITE_OWNER = 0x00080000;
inline constexpr REGSAM STANDARD_RIGHTS_READ = READ_CONTROL;
inline constexpr REGSAM STANDARD_RIGHTS_WRITE = READ_CONTROL;
inline constexpr REGSAM STANDARD_RIGHTS_ALL = 0x001F0000;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_EXECUTE = 0x20019;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

// Value types.
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;

// Options and dispositions of RegCreateKeyExA.
inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0x0;
inline constexpr DWORD REG_OPTION_VOLATILE = 0x1;
inline constexpr DWORD REG_CREATED_NEW_KEY = 0x1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 0x2;

[[nodiscard]] LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result);
[[nodiscard]] LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                                   REGSAM desired, LPSECURITY_ATTRIBUTES security, PHKEY result,
                                   LPDWORD disposition);
// data may be null to ask for type and size only; a size too small gives ERROR_MORE_DATA and
// the size needed in *dataSize.
[[nodiscard]] LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                    LPDWORD dataSize);
[[nodiscard]] LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                                  DWORD dataSize);
[[nodiscard]] LONG RegDeleteValueA(HKEY key, LPCSTR valueName);
// Deletes a key that has no subkeys, with its values.
[[nodiscard]] LONG RegDeleteKeyA(HKEY key, LPCSTR subKey);
// Enumeration, so the command-line tool can list a key.
[[nodiscard]] LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved,
                                 LPSTR keyClass, LPDWORD classLength, void* lastWriteTime);
[[nodiscard]] LONG RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameLength,
                                 LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize);
LONG RegCloseKey(HKEY key);
