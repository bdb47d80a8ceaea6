// Threads as kernel objects: a handle that can be waited on and closed.
#pragma once

#include "windef.h"
#include "winerror.h"

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);

inline constexpr DWORD CREATE_SUSPENDED = 0x00000004;

// stackSize is a hint; the thread always gets at least the platform's normal stack.
[[nodiscard]] HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                                  LPVOID parameter, DWORD creationFlags, LPDWORD threadId);
// Starts a thread created with CREATE_SUSPENDED. Returns the previous suspend count, or
// 0xFFFFFFFF with the last error.
DWORD ResumeThread(HANDLE thread);
DWORD GetCurrentThreadId();
[[nodiscard]] BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
