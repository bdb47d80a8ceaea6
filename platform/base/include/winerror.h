/// @file
/// System error codes used by the platform layer. Internet codes (12001 onwards) are in wininet.h.
#pragma once

#include "windef.h"

/// The operation completed successfully.
inline constexpr LONG ERROR_SUCCESS = 0;
/// The same as ERROR_SUCCESS: no error.
inline constexpr DWORD NO_ERROR = 0;
/// Incorrect function.
inline constexpr DWORD ERROR_INVALID_FUNCTION = 1;
/// The system cannot find the file specified.
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
/// The system cannot find the path specified.
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
/// Access is denied.
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
/// The handle is invalid.
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
/// Not enough memory is available to process this command.
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
/// Bad format.
inline constexpr DWORD ERROR_BAD_FORMAT = 11;
/// Outofmemory.
inline constexpr DWORD ERROR_OUTOFMEMORY = 14;
/// Write fault.
inline constexpr DWORD ERROR_WRITE_FAULT = 29;
/// Read fault.
inline constexpr DWORD ERROR_READ_FAULT = 30;
/// Not supported.
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
/// Disk full.
inline constexpr DWORD ERROR_DISK_FULL = 112;
/// The parameter is incorrect.
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
/// The data area passed to a system call is too small.
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
/// Invalid name.
inline constexpr DWORD ERROR_INVALID_NAME = 123;
/// The requested resource is in use.
inline constexpr DWORD ERROR_BUSY = 170;
/// Already exists.
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
/// The file size exceeds the limit allowed and cannot be saved.
inline constexpr DWORD ERROR_FILE_TOO_LARGE = 223;
/// More data is available.
inline constexpr DWORD ERROR_MORE_DATA = 234;
/// No more data is available.
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
/// WaitForSingleObject: the time ran out before the object was signalled.
inline constexpr DWORD WAIT_TIMEOUT = 258;
/// Overlapped I/O operation is in progress.
inline constexpr DWORD ERROR_IO_PENDING = 997;
/// Baddb.
inline constexpr DWORD ERROR_BADDB = 1009;
/// Badkey.
inline constexpr DWORD ERROR_BADKEY = 1010;
/// Cantopen.
inline constexpr DWORD ERROR_CANTOPEN = 1011;
/// Cantread.
inline constexpr DWORD ERROR_CANTREAD = 1012;
/// Cantwrite.
inline constexpr DWORD ERROR_CANTWRITE = 1013;
/// Registry corrupt.
inline constexpr DWORD ERROR_REGISTRY_CORRUPT = 1015;
/// Key deleted.
inline constexpr DWORD ERROR_KEY_DELETED = 1018;
/// Class already exists.
inline constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
/// Class does not exist.
inline constexpr DWORD ERROR_CLASS_DOES_NOT_EXIST = 1411;
/// Class has windows.
inline constexpr DWORD ERROR_CLASS_HAS_WINDOWS = 1412;
/// Invalid window handle.
inline constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
/// The operation was canceled by the user.
inline constexpr DWORD ERROR_CANCELLED = 1223;
/// Invalid thread identifier.
inline constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;
