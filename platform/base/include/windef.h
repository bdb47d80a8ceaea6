/// @file
/// The basic types and conventions of the Windows API, as the rest of the platform layer
/// and its callers spell them. 8-bit strings throughout (the "A" variants).
#pragma once

#include <cstddef>
#include <cstdint>

/// The Windows name of std::uint8_t.
using BYTE = std::uint8_t;
/// The Windows name of std::uint16_t.
using WORD = std::uint16_t;
/// The Windows name of std::uint32_t.
using DWORD = std::uint32_t;
/// The Windows name of std::int32_t.
using LONG = std::int32_t;
/// The Windows name of std::uint32_t.
using UINT = std::uint32_t;
/// The Windows name of std::int32_t.
using INT = std::int32_t;
/// A Boolean as the Windows API gives it: TRUE or FALSE (test it against FALSE).
using BOOL = int;
/// The Windows name of std::uintptr_t.
using DWORD_PTR = std::uintptr_t;
/// The Windows name of std::uintptr_t.
using UINT_PTR = std::uintptr_t;
/// The Windows name of std::intptr_t.
using LONG_PTR = std::intptr_t;
/// The first parameter of a window message.
using WPARAM = UINT_PTR;
/// The second parameter of a window message.
using LPARAM = LONG_PTR;
/// What a window procedure answers.
using LRESULT = LONG_PTR;
/// A TCP port number.
using INTERNET_PORT = WORD;

/// A pointer to anything.
using LPVOID = void*;
/// A pointer to anything that is only read.
using LPCVOID = const void*;
/// A pointer to bytes.
using LPBYTE = BYTE*;
/// A pointer to a DWORD (an in-out length or a count).
using LPDWORD = DWORD*;
/// A pointer to 8-bit text that the call writes.
using LPSTR = char*;
/// A pointer to NUL-terminated 8-bit text.
using LPCSTR = const char*;
/// A pointer to a LONG.
using PLONG = LONG*;

/// Kernel objects (events, threads) and modules are opaque pointers; a null handle is "none".
using HANDLE = void*;
/// HMODULE: HMODULE__ pointer.
using HMODULE = struct HMODULE__*;
/// A module handle, as a window class names its program.
using HINSTANCE = HMODULE;
/// A window handle.
using HWND = struct HWND__*;
/// An icon handle.
using HICON = struct HICON__*;
/// A cursor handle.
using HCURSOR = struct HCURSOR__*;
/// A brush handle.
using HBRUSH = struct HBRUSH__*;
/// A menu handle.
using HMENU = struct HMENU__*;

/// Security attributes of a new kernel object; this platform ignores them (pass nullptr).
struct SECURITY_ATTRIBUTES {
    DWORD nLength;               ///< the record's size
    LPVOID lpSecurityDescriptor; ///< ignored
    BOOL bInheritHandle;         ///< ignored
};
/// A pointer to SECURITY_ATTRIBUTES.
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
/// The Windows name of std::size_t.
using SIZE_T = std::size_t;

// Macros, as other libraries' headers (glib's) define them too: whichever header comes first
// defines them, and either way they are the BOOL values 1 and 0.
#ifndef FALSE
/// BOOL false.
#define FALSE 0
#endif
#ifndef TRUE
/// BOOL true.
#define TRUE 1
#endif
/// A wait without a time limit.
inline constexpr DWORD INFINITE = 0xFFFFFFFFu;
