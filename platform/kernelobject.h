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
#include <unordered_map>

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
    [[nodiscard]] bool TakeSignal();  // called with mutex_ held

    std::mutex mutex_;
    std::condition_variable signalledChanged_;
    const ResetMode mode_;
    bool signalled_;  // guarded by mutex_
};

class HandleTable {
public:
    // The one table of the process. Never destroyed, so a detached thread ending after main()
    // returned still finds it.
    static HandleTable& Instance();

    [[nodiscard]] HANDLE Add(std::shared_ptr<KernelObject> object);
    [[nodiscard]] std::shared_ptr<KernelObject> Find(HANDLE handle) const;
    template <typename T>
    [[nodiscard]] std::shared_ptr<T> FindAs(HANDLE handle) const
    {
        return std::dynamic_pointer_cast<T>(Find(handle));
    }
    // False when the handle isn't open.
    [[nodiscard]] bool Remove(HANDLE handle);

private:
    HandleTable() = default;

    // Handle values step by 4 like the other platform's and are never reused within a run, so a
    // stale handle can't silently name a newer object.
    static constexpr std::uintptr_t kFirstHandle = 0x1000;
    static constexpr std::uintptr_t kHandleStep = 4;

    mutable std::mutex mutex_;
    std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects_;  // guarded by mutex_
    std::uintptr_t nextHandle_ = kFirstHandle;                                     // guarded by mutex_
};

}  // namespace platform::kernel
