#include "kernelobject.h"

#include <chrono>

namespace platform::kernel {

KernelObject::KernelObject(ResetMode mode, bool signalled)
    : mode_(mode)
    , signalled_(signalled)
{
}

void KernelObject::Signal()
{
    {
        std::lock_guard lock(mutex_);
        signalled_ = true;
    }
    // Every waiter wakes; for an automatic-reset object only the first to take the mutex
    // consumes the signal, the others see it gone and wait on.
    signalledChanged_.notify_all();
}

void KernelObject::Reset()
{
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

bool KernelObject::TakeSignal()
{
    if (!signalled_)
        return false;
    if (mode_ == ResetMode::Automatic)
        signalled_ = false;
    return true;
}

bool KernelObject::Wait(DWORD milliseconds)
{
    std::unique_lock lock(mutex_);
    if (milliseconds == INFINITE) {
        signalledChanged_.wait(lock, [this] { return TakeSignal(); });
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    return signalledChanged_.wait_until(lock, deadline, [this] { return TakeSignal(); });
}

HandleTable& HandleTable::Instance()
{
    static HandleTable* const table = new HandleTable;
    return *table;
}

HANDLE HandleTable::Add(std::shared_ptr<KernelObject> object)
{
    std::lock_guard lock(mutex_);
    const std::uintptr_t value = nextHandle_;
    nextHandle_ += kHandleStep;
    objects_.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> HandleTable::Find(HANDLE handle) const
{
    std::lock_guard lock(mutex_);
    const auto found = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
    return found == objects_.end() ? nullptr : found->second;
}

bool HandleTable::Remove(HANDLE handle)
{
    std::shared_ptr<KernelObject> removed;  // released after the lock: a thread object may be the last reference
    std::lock_guard lock(mutex_);
    const auto found = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == objects_.end())
        return false;
    removed = std::move(found->second);
    objects_.erase(found);
    return true;
}

}  // namespace platform::kernel
