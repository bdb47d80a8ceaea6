// The settings hive: the registry calls the programs make, under their usual names and
// conventions (LONG results carrying system error codes, caller-owned buffers, handles closed
// with RegCloseKey). The calls return their code; they don't touch the thread's last error.
//
// Storage: one SQLite database per user, $XDG_CONFIG_HOME/dorvane/registry.db ($HOME/.config
// when XDG_CONFIG_HOME is unset or relative), read again at every call made on the root itself,
// so a test points it at a folder of its own with setenv. The folder is made 0700, the file 0600.
// Key paths ("Software\Dorvane Pro") and value names compare whatever their letter case, every
// letter alike: names are read as UTF-8 where they are well-formed UTF-8 and compared by their
// Unicode simple case folding ("Ünï" and "üNÏ" are one name; "ß" and "ss", "i" and dotless "ı",
// "e" and "é" are not); other bytes compare exactly. A name keeps the spelling first written;
// data is kept as the exact bytes given, with its type. A hive written by release 1.0.0 (which
// ignored the case of A-Z only) is upgraded in place when it is opened, all or nothing; where it
// holds names that now compare equal, all are kept, and a name finds the one written first.
//
// Codes beyond the usual ones:
//   ERROR_BADDB           the file is damaged or is not a hive; it is left exactly as it is
//   ERROR_ACCESS_DENIED   write access (KEY_SET_VALUE, KEY_CREATE_SUB_KEY, DELETE, KEY_ALL_ACCESS,
//                         ...) to a hive whose file or folder lacks the owner's write permission
//                         (judged by the mode bits, so it holds for root too); reading still works;
//                         also deleting a key that has subkeys, or using rights the handle lacks
//   ERROR_KEY_DELETED     the handle's key was deleted meanwhile
//   ERROR_BUSY            another process held the hive longer than the busy timeout (15 s)
//   ERROR_INVALID_PARAMETER  empty path component, a name over 255 (key) or 16383 (value)
//                         characters, data over 1 MiB
#pragma once

#include "windef.h"
#include "winerror.h"

using HKEY = struct HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;

// Predefined roots. Only HKEY_CURRENT_USER is backed by storage; the others fail with
// ERROR_FILE_NOT_FOUND (opening, reading) or ERROR_ACCESS_DENIED (creating, writing). Closing a
// predefined root succeeds and does nothing.
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

// Options and dispositions of RegCreateKeyExA. A volatile key is kept like any other.
inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0x0;
inline constexpr DWORD REG_OPTION_VOLATILE = 0x1;
inline constexpr DWORD REG_CREATED_NEW_KEY = 0x1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 0x2;

[[nodiscard]] LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result);
[[nodiscard]] LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                                   REGSAM desired, LPSECURITY_ATTRIBUTES security, PHKEY result,
                                   LPDWORD disposition);
// data may be null to ask for type and size only; a size too small gives ERROR_MORE_DATA and
// the size needed in *dataSize (the buffer is left alone). No NUL is added to what was stored.
// A null or empty valueName is the key's default value.
[[nodiscard]] LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                    LPDWORD dataSize);
[[nodiscard]] LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                                  DWORD dataSize);
[[nodiscard]] LONG RegDeleteValueA(HKEY key, LPCSTR valueName);
// Deletes a key that has no subkeys, with its values (ERROR_ACCESS_DENIED when it has subkeys).
// Handles still open on it then fail with ERROR_KEY_DELETED.
[[nodiscard]] LONG RegDeleteKeyA(HKEY key, LPCSTR subKey);
// Enumeration, so the command-line tool can list a key. Subkeys come in name order, values in
// the order they were first written; ERROR_NO_MORE_ITEMS past the last. Name lengths are in
// characters: on input the buffer size, on success the name's length without its NUL, on
// ERROR_MORE_DATA the buffer size needed (NUL included). Keys have no class; lastWriteTime is
// not filled in.
[[nodiscard]] LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved,
                                 LPSTR keyClass, LPDWORD classLength, void* lastWriteTime);
[[nodiscard]] LONG RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameLength,
                                 LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize);
LONG RegCloseKey(HKEY key);
