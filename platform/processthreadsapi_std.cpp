// Threads as kernel objects over std::thread. The std::thread is always detached: the object,
// not a join, tells when the routine ended (it is signalled and holds the exit code), and the
// running routine holds a reference to its object so closing the handle early is harmless.
#include "processthreadsapi.h"

#include <atomic>
#include <optional>
#include <system_error>
#include <thread>

#include "errhandlingapi.h"
#include "fault_injection.h"
#include "kernelobject.h"

namespace {

using platform::kernel::HandleTable;
using platform::kernel::KernelObject;

// The creation flags this platform understands; the reservation flag only changes what the
// stack size hint means, and the hint is ignored anyway.
constexpr DWORD kStackSizeIsReservation = 0x00010000;
constexpr DWORD kKnownCreationFlags = CREATE_SUSPENDED | kStackSizeIsReservation;

// Ids start well away from 0, which means "no thread" to callers.
constexpr DWORD kFirstThreadId = 1000;
std::atomic<DWORD> nextThreadId{kFirstThreadId};
thread_local DWORD currentThreadId = 0;

DWORD NewThreadId()
{
    return nextThreadId.fetch_add(1, std::memory_order_relaxed);
}

class ThreadObject final : public KernelObject, public std::enable_shared_from_this<ThreadObject> {
public:
    ThreadObject(LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD suspendCount)
        : KernelObject(ResetMode::Manual, false)
        , start_(start)
        , parameter_(parameter)
        , id_(NewThreadId())
        , suspendCount_(suspendCount)
    {
    }

    [[nodiscard]] DWORD Id() const { return id_; }

    [[nodiscard]] DWORD ExitCode() const
    {
        std::lock_guard lock(mutex_);
        return exitCode_;
    }

    // Starts the routine unless the thread is suspended. False when the system has no thread
    // to give.
    [[nodiscard]] bool StartUnlessSuspended()
    {
        std::lock_guard lock(mutex_);
        return suspendCount_ > 0 || StartLocked();
    }

    // The previous suspend count; nothing when the routine was due to start and couldn't.
    [[nodiscard]] std::optional<DWORD> Resume()
    {
        std::lock_guard lock(mutex_);
        const DWORD previous = suspendCount_;
        if (previous == 0)
            return 0;
        suspendCount_ = previous - 1;
        if (suspendCount_ == 0 && !StartLocked()) {
            suspendCount_ = previous;
            return std::nullopt;
        }
        return previous;
    }

private:
    bool StartLocked()
    {
        // The stack size hint is deliberately not applied: std::thread gives the normal stack
        // (8 MiB by default). Callers written for the other platform pass that platform's
        // initial commit (8 KiB), which grows there on demand but would be a hard limit here,
        // far too small for libcurl and name resolution.
        try {
            std::thread([self = shared_from_this()] { self->Run(); }).detach();
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    }

    void Run()
    {
        currentThreadId = id_;
        const DWORD code = start_(parameter_);
        {
            std::lock_guard lock(mutex_);
            exitCode_ = code;
        }
        Signal();
    }

    const LPTHREAD_START_ROUTINE start_;
    const LPVOID parameter_;
    const DWORD id_;
    mutable std::mutex mutex_;
    DWORD suspendCount_;          // guarded by mutex_; the routine starts when it reaches 0
    DWORD exitCode_ = STILL_ACTIVE;  // guarded by mutex_
};

}  // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES /*security*/, SIZE_T /*stackSize*/, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId)
{
    if (start == nullptr || (creationFlags & ~kKnownCreationFlags) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (platform::fault::Injected(platform::fault::Kind::CreateThread)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::shared_ptr<ThreadObject> thread;
    HANDLE handle = nullptr;
    try {
        thread = std::make_shared<ThreadObject>(start, parameter, (creationFlags & CREATE_SUSPENDED) ? 1 : 0);
        handle = HandleTable::Instance().Add(thread);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (!thread->StartUnlessSuspended()) {
        (void)HandleTable::Instance().Remove(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (threadId != nullptr)
        *threadId = thread->Id();
    return handle;
}

DWORD ResumeThread(HANDLE thread)
{
    constexpr DWORD kFailed = 0xFFFFFFFFu;
    const auto object = HandleTable::Instance().FindAs<ThreadObject>(thread);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return kFailed;
    }
    const std::optional<DWORD> previous = object->Resume();
    if (!previous) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return kFailed;
    }
    return *previous;
}

DWORD GetCurrentThreadId()
{
    if (currentThreadId == 0)
        currentThreadId = NewThreadId();
    return currentThreadId;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode)
{
    const auto object = HandleTable::Instance().FindAs<ThreadObject>(thread);
    if (!object || exitCode == nullptr) {
        SetLastError(object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitCode = object->ExitCode();
    return TRUE;
}
