// The end of a thread's work, which is not always the end of the thread: the kernel family runs
// CreateThread routines and the Internet layer's loops on threads that wait for more work
// afterwards (platform/kernel/src/parked_threads.h). A family whose per-thread state must go
// when the thread's work is over (the windows a thread made, the id it was given) registers a
// cleanup here instead of relying on a thread_local's destructor alone.
//
//   HWND CreateWindowExA(...)
//   {
//       ...
//       platform::AtThreadWorkEnd(&DestroyThisThreadsWindows);  // again next time: kept once
//   }
#pragma once

namespace platform {

using ThreadWorkCleanup = void (*)();

// Runs cleanup on the calling thread when its current work ends: after the job of a parked
// thread, otherwise when the thread ends. A cleanup already registered is not added again.
void AtThreadWorkEnd(ThreadWorkCleanup cleanup) noexcept;
// The calling thread's work is over: runs its cleanups in the order registered and forgets
// them; one registered while they run (by another cleanup) runs in the same call.
void EndThreadWork() noexcept;

} // namespace platform
