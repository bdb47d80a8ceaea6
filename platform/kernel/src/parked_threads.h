// Threads that wait for more work after their job instead of ending. Starting and ending a
// thread is a large share of a short job's cost (a component's response worker, an Internet
// loop that lives for one request), so a finished thread parks for a while and the next job
// runs on it. A parked thread that gets no job within the idle limit ends, so an idle program
// returns to no extra thread; at most a few stay parked, so a burst of a thousand jobs leaves
// a handful behind.
//
// Each job starts with a clean thread: last error 0 and no thread id yet (GetCurrentThreadId
// gives a fresh one unless the job takes its own), and the cleanups registered with
// platform::AtThreadWorkEnd run when it returns, as they would when a thread ends.
//
//   if (!platform::kernel::ParkedThreads::Shared().run([loop] { loop->run(); }))
//       return fail(ERROR_NOT_ENOUGH_MEMORY);  // no thread to be had: nothing runs
//
// Internal to the platform layer (the kernel family and the Internet layer).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

namespace platform::kernel {

class ParkedThreads {
public:
    using Job = std::function<void()>;

    struct Counts {
        std::size_t threads = 0;  // running a job or parked
        std::size_t parked = 0;
    };

    // Enough for the work a program does at once in the common case (a few loops, a few
    // response workers); a burst beyond it pays for its extra threads, which then end.
    static constexpr std::size_t defaultMaxParked = 8;
    // Long enough to bridge the gap between one request and the next; short enough that a
    // program done with its requests holds no thread for long.
    static constexpr std::chrono::milliseconds defaultIdleLimit{2000};

    // The process's pool. Never destroyed, like the handle table: no thread is joined or
    // touched by static destruction, and a thread still parked at exit is harmless.
    static ParkedThreads& Shared();

    explicit ParkedThreads(std::size_t maxParked = defaultMaxParked,
                           std::chrono::milliseconds idleLimit = defaultIdleLimit);
    // Parked threads end; jobs still running finish on their own threads, which end then.
    ~ParkedThreads();
    ParkedThreads(const ParkedThreads&) = delete;
    ParkedThreads& operator=(const ParkedThreads&) = delete;

    // Runs job on a parked thread, or a new one when none is parked. False, with nothing run,
    // when the system has no thread to give. A job must not throw.
    [[nodiscard]] bool run(Job job);

    [[nodiscard]] Counts counts() const;

private:
    struct State;
    struct Parking;
    static void serve(const std::shared_ptr<State>& state, Job job);
    [[nodiscard]] static bool park(State& state, Job& job);
    static void handOver(Parking& parking, Job job);

    // Shared with every thread, so a thread that outlives its pool still finds it.
    std::shared_ptr<State> m_state;
};

} // namespace platform::kernel
