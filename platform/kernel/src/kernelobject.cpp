#include "kernelobject.h"

#include <chrono>

namespace platform::kernel {

KernelObject::KernelObject(ResetMode mode, bool signalled)
    : m_mode(mode)
    , m_signalled(signalled)
{
}

void KernelObject::Signal()
{
    {
        std::lock_guard lock(m_mutex);
        m_signalled = true;
    }
    // Every waiter wakes; for an automatic-reset object only the first to take the mutex
    // consumes the signal, the others see it gone and wait on.
    m_signalledChanged.notify_all();
}

void KernelObject::Reset()
{
    std::lock_guard lock(m_mutex);
    m_signalled = false;
}

bool KernelObject::TakeSignal()
{
    if (!m_signalled)
        return false;
    if (m_mode == ResetMode::Automatic)
        m_signalled = false;
    return true;
}

bool KernelObject::Wait(DWORD milliseconds)
{
    std::unique_lock lock(m_mutex);
    if (milliseconds == INFINITE) {
        m_signalledChanged.wait(lock, [this] { return TakeSignal(); });
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    return m_signalledChanged.wait_until(lock, deadline, [this] { return TakeSignal(); });
}

HandleTable& Handles()
{
    static HandleTable* const table = new HandleTable(0x1000);
    return *table;
}

}  // namespace platform::kernel
