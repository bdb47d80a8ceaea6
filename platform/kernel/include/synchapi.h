/// @file
/// Event objects and waiting on kernel objects (events and threads).
#pragma once

#include "dorvane_http_export.h"
#include "windef.h"
#include "winerror.h"

/// WaitForSingleObject: the object is signalled.
inline constexpr DWORD WAIT_OBJECT_0 = 0;
/// WaitForSingleObject failed (GetLastError() tells why).
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

/// A manual-reset event stays signalled until ResetEvent; an automatic-reset one releases a
/// single wait and resets itself. Named events are not supported (nullptr with
/// ERROR_NOT_SUPPORTED); pass nullptr or "" as name. Security attributes are ignored.
[[nodiscard]] DORVANE_HTTP_EXPORT HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState, LPCSTR name);
/// Signals the event. Fails with ERROR_INVALID_HANDLE for a handle that isn't an open event.
DORVANE_HTTP_EXPORT BOOL SetEvent(HANDLE event);
/// Makes the event unsignalled. Fails with ERROR_INVALID_HANDLE for a handle that isn't an
/// open event.
DORVANE_HTTP_EXPORT BOOL ResetEvent(HANDLE event);
/// WAIT_OBJECT_0 when the object is signalled (an event set, a thread ended), WAIT_TIMEOUT after
/// milliseconds (INFINITE: never), WAIT_FAILED with ERROR_INVALID_HANDLE for a bad handle.
/// Any thread may wait; the wait keeps the object alive even if its handle is closed meanwhile.
DORVANE_HTTP_EXPORT DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
