// The objects behind kernel HANDLE values (events and threads) and the process-wide table that
// maps handle values to them. Internal to the platform layer: callers only ever see HANDLE.
//
// A handle value is an id from the table, never an object's address, so a closed or made-up
// handle is recognised and fails with ERROR_INVALID_HANDLE instead of touching freed memory.
// Objects are shared: a call that works on an object (a wait, a running thread) keeps it alive
// while CloseHandle removes only the handle.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>

#include "handle_table.h"
#include "windef.h"

namespace platform::kernel {

// A waitable object: signalled or not, guarded by its own mutex and condition variable.
class KernelObject {
public:
    enum class ResetMode { Manual, Automatic };

    KernelObject(ResetMode mode, bool signalled);
    virtual ~KernelObject() = default;
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;

    void Signal();
    void Reset();
    // True when the object was signalled within milliseconds (INFINITE: no limit). A wait that
    // sees an automatic-reset object signalled resets it, so one Signal releases one waiter.
    [[nodiscard]] bool Wait(DWORD milliseconds);

private:
    [[nodiscard]] bool TakeSignal();  // called with m_mutex held

    std::mutex m_mutex;
    std::condition_variable m_signalledChanged;
    const ResetMode m_mode;
    bool m_signalled;  // guarded by m_mutex
};

using HandleTable = platform::HandleTable<HANDLE, KernelObject>;

// The one table of the process. Never destroyed, so a detached thread ending after main()
// returned still finds it.
HandleTable& Handles();

// The object behind handle when it is a T; nullptr otherwise.
template <typename T>
[[nodiscard]] std::shared_ptr<T> FindAs(HANDLE handle)
{
    return std::dynamic_pointer_cast<T>(Handles().find(handle));
}

}  // namespace platform::kernel
