// Threads as kernel objects over the parked threads: a routine runs as a job on a parked
// thread, or a new one. The object, not a join, tells when the routine ended (it is signalled
// and holds the exit code), and the running routine holds a reference to its object so closing
// the handle early is harmless.
#include "processthreadsapi.h"

#include <atomic>
#include <new>
#include <optional>

#include "errhandlingapi.h"
#include "fault_injection.h"
#include "kernelobject.h"
#include "parked_threads.h"
#include "thread_work_end.h"

namespace {

using platform::kernel::FindAs;
using platform::kernel::Handles;
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

void ForgetThreadId() noexcept
{
    currentThreadId = 0;
}

// The calling thread is id until its work ends; a parked thread's next job gets another.
void TakeThreadId(DWORD id)
{
    currentThreadId = id;
    platform::AtThreadWorkEnd(&ForgetThreadId);
}

class ThreadObject final : public KernelObject, public std::enable_shared_from_this<ThreadObject> {
public:
    ThreadObject(LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD suspendCount)
        : KernelObject(ResetMode::Manual, false)
        , m_start(start)
        , m_parameter(parameter)
        , m_id(NewThreadId())
        , m_suspendCount(suspendCount)
    {
    }

    [[nodiscard]] DWORD Id() const { return m_id; }

    [[nodiscard]] DWORD ExitCode() const
    {
        std::lock_guard lock(m_mutex);
        return m_exitCode;
    }

    // Starts the routine unless the thread is suspended. False when the system has no thread
    // to give.
    [[nodiscard]] bool StartUnlessSuspended()
    {
        std::lock_guard lock(m_mutex);
        return m_suspendCount > 0 || StartLocked();
    }

    // The previous suspend count; nothing when the routine was due to start and couldn't.
    [[nodiscard]] std::optional<DWORD> Resume()
    {
        std::lock_guard lock(m_mutex);
        const DWORD previous = m_suspendCount;
        if (previous == 0)
            return 0;
        m_suspendCount = previous - 1;
        if (m_suspendCount == 0 && !StartLocked()) {
            m_suspendCount = previous;
            return std::nullopt;
        }
        return previous;
    }

private:
    bool StartLocked()
    {
        // The stack size hint is deliberately not applied: a parked thread has the normal stack
        // (8 MiB by default). Callers written for the other platform pass that platform's
        // initial commit (8 KiB), which grows there on demand but would be a hard limit here,
        // far too small for libcurl and name resolution.
        try {
            return platform::kernel::ParkedThreads::Shared().run([self = shared_from_this()] { self->Run(); });
        } catch (const std::bad_alloc&) {
            return false;
        }
    }

    void Run()
    {
        TakeThreadId(m_id);
        const DWORD code = m_start(m_parameter);
        {
            std::lock_guard lock(m_mutex);
            m_exitCode = code;
        }
        Signal();
    }

    const LPTHREAD_START_ROUTINE m_start;
    const LPVOID m_parameter;
    const DWORD m_id;
    mutable std::mutex m_mutex;
    DWORD m_suspendCount;          // guarded by m_mutex; the routine starts when it reaches 0
    DWORD m_exitCode = STILL_ACTIVE;  // guarded by m_mutex
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
        handle = Handles().add(thread);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (!thread->StartUnlessSuspended()) {
        static_cast<void>(Handles().remove(handle));
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
    const auto object = FindAs<ThreadObject>(thread);
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
        TakeThreadId(NewThreadId());
    return currentThreadId;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode)
{
    const auto object = FindAs<ThreadObject>(thread);
    if (!object || exitCode == nullptr) {
        SetLastError(object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitCode = object->ExitCode();
    return TRUE;
}
