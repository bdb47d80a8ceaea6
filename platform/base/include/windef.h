// The basic types and conventions of the Windows API, as the rest of the platform layer
// and its callers spell them. 8-bit strings throughout (the "A" variants).
#pragma once

#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;
using INT = std::int32_t;
using BOOL = int;
using DWORD_PTR = std::uintptr_t;
using UINT_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using WPARAM = UINT_PTR;
using LPARAM = LONG_PTR;
using LRESULT = LONG_PTR;
using INTERNET_PORT = WORD;

using LPVOID = void*;
using LPCVOID = const void*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;
using LPSTR = char*;
using LPCSTR = const char*;
using PLONG = LONG*;

// Kernel objects (events, threads) and modules are opaque pointers; a null handle is "none".
using HANDLE = void*;
using HMODULE = struct HMODULE__*;
using HINSTANCE = HMODULE;
using HWND = struct HWND__*;
using HICON = struct HICON__*;
using HCURSOR = struct HCURSOR__*;
using HBRUSH = struct HBRUSH__*;
using HMENU = struct HMENU__*;

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
using SIZE_T = std::size_t;

// Macros, as other libraries' headers (glib's) define them too: whichever header comes first
// defines them, and either way they are the BOOL values 1 and 0.
#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif
inline constexpr DWORD INFINITE = 0xFFFFFFFFu;
