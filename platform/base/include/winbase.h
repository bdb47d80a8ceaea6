/// @file
/// Error message texts.
#pragma once

#include <cstdarg>

#include "dorvane_http_export.h"
#include "windef.h"

/// Asks FormatMessageA to allocate the buffer: not supported, the call fails with
/// ERROR_INVALID_PARAMETER.
inline constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
/// Leave inserts as they stand (the texts here have none, so this changes nothing).
inline constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
/// A message given as text: not supported, the call finds no message.
inline constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
/// The message comes from the message table of the module source.
inline constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
/// The message comes from the system's message table.
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;

/// The message table holds no text for the code.
inline constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;

/// Writes the text of messageId from the module's message table (FROM_HMODULE) or the system's
/// (FROM_SYSTEM) into buffer, NUL-terminated, and returns its length without the NUL; 0 with
/// the last error set when there is no such message (ERROR_MR_MID_NOT_FOUND) or it doesn't fit
/// in size bytes (ERROR_INSUFFICIENT_BUFFER). The Internet library's module (GetModuleHandleA
/// "wininet.dll") holds a text for every code 12001 onwards that its operations report.
DORVANE_HTTP_EXPORT DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,
                     va_list* arguments);
