#include "thread_work_end.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>

namespace platform {

namespace {

// A fixed array, not a vector: registering must not allocate, since it happens inside calls
// that report failures through the last error only (GetCurrentThreadId has none at all).
// Each family registers at most one or two functions.
constexpr std::size_t maxCleanups = 8;

class ThreadWorkCleanups {
public:
    ~ThreadWorkCleanups() { runAll(); }

    void add(ThreadWorkCleanup cleanup) noexcept
    {
        const auto end = m_cleanups.begin() + m_count;
        if (std::find(m_cleanups.begin(), end, cleanup) != end)
            return;
        assert(m_count < maxCleanups && "raise maxCleanups for a new kind of per-thread state");
        if (m_count < maxCleanups)
            m_cleanups[m_count++] = cleanup;
    }

    void runAll() noexcept
    {
        // Taken out first, so that a cleanup registering again starts the next round.
        while (m_count > 0) {
            const auto cleanups = m_cleanups;
            const std::size_t count = m_count;
            m_count = 0;
            for (std::size_t i = 0; i < count; ++i)
                cleanups[i]();
        }
    }

private:
    std::array<ThreadWorkCleanup, maxCleanups> m_cleanups{};
    std::size_t m_count = 0;
};

thread_local ThreadWorkCleanups cleanups;

} // namespace

void AtThreadWorkEnd(ThreadWorkCleanup cleanup) noexcept
{
    cleanups.add(cleanup);
}

void EndThreadWork() noexcept
{
    cleanups.runAll();
}

} // namespace platform
