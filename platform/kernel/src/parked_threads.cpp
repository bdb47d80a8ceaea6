#include "parked_threads.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "errhandlingapi.h"
#include "thread_work_end.h"

namespace platform::kernel {

namespace {

// A parked thread's place, on that thread's stack: the job handed to it and a wake-up for it
// alone, so that one job wakes exactly one thread.
struct Parking {
    std::condition_variable handedOver;
    ParkedThreads::Job job;
};

} // namespace

struct ParkedThreads::State {
    State(std::size_t maxParkedThreads, std::chrono::milliseconds idle)
        : maxParked(maxParkedThreads)
        , idleLimit(idle)
    {
        parked.reserve(maxParked);  // parking never allocates
    }

    const std::size_t maxParked;
    const std::chrono::milliseconds idleLimit;
    std::mutex mutex;               // guards everything below
    std::vector<Parking*> parked;   // the most recently parked last: it is the next to work
    std::size_t threads = 0;        // running a job or parked
    bool closing = false;           // the pool is gone: no thread parks any more
};

ParkedThreads& ParkedThreads::Shared()
{
    static ParkedThreads* const instance = new ParkedThreads;
    return *instance;
}

ParkedThreads::ParkedThreads(std::size_t maxParked, std::chrono::milliseconds idleLimit)
    : m_state(std::make_shared<State>(maxParked, idleLimit))
{
}

ParkedThreads::~ParkedThreads()
{
    std::lock_guard lock(m_state->mutex);
    m_state->closing = true;
    for (Parking* parking : m_state->parked)
        parking->handedOver.notify_one();
    m_state->parked.clear();
}

bool ParkedThreads::run(Job job)
{
    {
        std::lock_guard lock(m_state->mutex);
        if (!m_state->parked.empty()) {
            Parking* const parking = m_state->parked.back();
            m_state->parked.pop_back();
            parking->job = std::move(job);
            // With the lock held: once it is released the thread may find its job without
            // this wake-up and leave, taking its Parking with it.
            parking->handedOver.notify_one();
            return true;
        }
        ++m_state->threads;
    }
    try {
        std::thread(&ParkedThreads::serve, m_state, std::move(job)).detach();
        return true;
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
    std::lock_guard lock(m_state->mutex);
    --m_state->threads;
    return false;
}

ParkedThreads::Counts ParkedThreads::counts() const
{
    std::lock_guard lock(m_state->mutex);
    return Counts{m_state->threads, m_state->parked.size()};
}

void ParkedThreads::serve(const std::shared_ptr<State>& state, Job job)
{
    do {
        SetLastError(0);
        job();
        // What the job holds goes before its thread-work cleanups run, as it did with a thread
        // of its own (the callable first, then the thread's thread_local state).
        job = nullptr;
        platform::EndThreadWork();
    } while (park(*state, job));
}

bool ParkedThreads::park(State& state, Job& job)
{
    std::unique_lock lock(state.mutex);
    if (state.closing || state.parked.size() >= state.maxParked) {
        --state.threads;
        return false;
    }
    Parking parking;
    state.parked.push_back(&parking);
    static_cast<void>(
        parking.handedOver.wait_for(lock, state.idleLimit, [&] { return parking.job || state.closing; }));
    if (!parking.job) {
        // Idle too long, or the pool is gone (and has let go of every place already).
        std::erase(state.parked, &parking);
        --state.threads;
        return false;
    }
    job = std::move(parking.job);
    return true;
}

} // namespace platform::kernel
