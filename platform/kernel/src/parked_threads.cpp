#include "parked_threads.h"

#include <algorithm>
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

// A parked thread's place, on that thread's stack: the job handed to it and a wake-up for it
// alone, so that one job wakes exactly one thread, and the pool's lock is not held while it
// does (a thousand short jobs made the woken threads queue up on it).
struct ParkedThreads::Parking {
    std::mutex mutex; // guards job and given
    std::condition_variable handedOver;
    ParkedThreads::Job job;
    bool given = false;  // job is set, or the pool is gone (job empty)
};

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
    std::vector<Parking*> parked;
    {
        std::lock_guard lock(m_state->mutex);
        m_state->closing = true;
        parked.swap(m_state->parked);
    }
    for (Parking* parking : parked)
        handOver(*parking, nullptr);
}

bool ParkedThreads::run(Job job)
{
    Parking* parking = nullptr;
    {
        std::lock_guard lock(m_state->mutex);
        if (!m_state->parked.empty()) {
            parking = m_state->parked.back();
            m_state->parked.pop_back();
        } else {
            ++m_state->threads;
        }
    }
    if (parking != nullptr) {
        handOver(*parking, std::move(job));
        return true;
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

// The thread taken off the parked list waits for this (park), so its place stays until then.
// The wake-up goes with the place's lock held: once it is released the thread may find its job
// without it and leave, taking its place with it.
void ParkedThreads::handOver(Parking& parking, Job job)
{
    std::lock_guard lock(parking.mutex);
    parking.job = std::move(job);
    parking.given = true;
    parking.handedOver.notify_one();
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
    Parking parking;
    {
        std::lock_guard lock(state.mutex);
        if (state.closing || state.parked.size() >= state.maxParked) {
            --state.threads;
            return false;
        }
        state.parked.push_back(&parking);
    }
    std::unique_lock wait(parking.mutex);
    if (!parking.handedOver.wait_for(wait, state.idleLimit, [&] { return parking.given; })) {
        wait.unlock();
        std::lock_guard lock(state.mutex);
        const auto place = std::find(state.parked.begin(), state.parked.end(), &parking);
        if (place != state.parked.end()) {
            // Idle too long: nobody can hand this thread a job any more.
            state.parked.erase(place);
            --state.threads;
            return false;
        }
        // Taken off the list just now: its job is on the way.
        wait.lock();
        parking.handedOver.wait(wait, [&] { return parking.given; });
    }
    if (!parking.job) {
        std::lock_guard lock(state.mutex);
        --state.threads; // the pool is gone
        return false;
    }
    job = std::move(parking.job);
    return true;
}

} // namespace platform::kernel
