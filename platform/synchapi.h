// Event objects and waiting on kernel objects (events and threads).
#pragma once

#include "windef.h"
#include "winerror.h"

inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

[[nodiscard]] HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
// WAIT_OBJECT_0 when the object is signalled (an event set, a thread ended), WAIT_TIMEOUT after
// milliseconds (INFINITE: never), WAIT_FAILED with the last error for a bad handle.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
