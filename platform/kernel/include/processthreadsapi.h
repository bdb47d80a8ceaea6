// Threads as kernel objects: a handle that can be waited on (signalled when the routine has
// returned), asked for its exit code, and closed at any time.
#pragma once

#include "windef.h"
#include "winerror.h"

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);

inline constexpr DWORD CREATE_SUSPENDED = 0x00000004;
// The exit code GetExitCodeThread reports while the routine is still running (or not started).
inline constexpr DWORD STILL_ACTIVE = 259;

// Runs start(parameter) on a new thread; with CREATE_SUSPENDED it waits for ResumeThread.
// stackSize is only a hint and is not applied: the thread always gets the platform's normal
// stack. The returned handle may be closed while the thread runs; the thread then runs to its
// end on its own. A suspended thread whose handle is closed never runs. nullptr with the last
// error (ERROR_INVALID_PARAMETER for no routine or an unknown flag) on failure. A routine must
// not throw.
[[nodiscard]] HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                                  LPVOID parameter, DWORD creationFlags, LPDWORD threadId);
// Lowers the suspend count of a thread created with CREATE_SUSPENDED, starting it at 0.
// Returns the previous suspend count (0 for a running thread), or 0xFFFFFFFF with the last
// error (ERROR_INVALID_HANDLE for a handle that isn't an open thread).
DWORD ResumeThread(HANDLE thread);
// A non-zero id, stable for the thread's life; equal to what CreateThread reported for its threads.
DWORD GetCurrentThreadId();
// The routine's return value, or STILL_ACTIVE while it runs.
[[nodiscard]] BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
