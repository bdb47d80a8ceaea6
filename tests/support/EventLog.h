// The events a test saw, in the order they came, with the thread each came on; any thread may
// add to it. Event is what names an event in the suite: a text, a status code, a record.
//
//     EventLog<std::string> events;
//     http->OnConnectingToServer = events.recorder("connecting");
//     ...
//     EXPECT_TRUE(events.allOnThread());
//     EXPECT_LT(events.indexOf("connecting"), events.indexOf("sent"));
//
// A match is an event compared with ==, or a predicate over events.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace dorvane::test {

template <typename Event>
class EventLog {
public:
    // Records an event; returns how many have come so far, this one included.
    std::size_t add(Event event)
    {
        // Notified under the lock: a waiter that saw the event may free the log at once.
        std::lock_guard lock(m_mutex);
        m_events.push_back(std::move(event));
        m_threads.push_back(std::this_thread::get_id());
        m_changed.notify_all();
        return m_events.size();
    }
    // A handler, for a callback of any signature, that records this event.
    auto recorder(Event event)
    {
        return [this, event](auto&&...) { add(event); };
    }

    std::vector<Event> all() const
    {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    template <typename Match>
    std::vector<Event> matching(const Match& match) const
    {
        std::lock_guard lock(m_mutex);
        std::vector<Event> found;
        for (const Event& event : m_events) {
            if (matches(event, match))
                found.push_back(event);
        }
        return found;
    }
    template <typename Match>
    std::size_t count(const Match& match) const
    {
        std::lock_guard lock(m_mutex);
        return countLocked(match);
    }
    // The position of the first match; the number of events when there is none.
    template <typename Match>
    std::size_t indexOf(const Match& match) const
    {
        std::lock_guard lock(m_mutex);
        std::size_t index = 0;
        while (index < m_events.size() && !matches(m_events[index], match))
            ++index;
        return index;
    }
    // Whether every event so far came on this thread.
    bool allOnThread(std::thread::id thread = std::this_thread::get_id()) const
    {
        std::lock_guard lock(m_mutex);
        for (const auto& came : m_threads) {
            if (came != thread)
                return false;
        }
        return true;
    }
    // Waits (bounded) until matching events have come `count` times in all.
    template <typename Match>
    bool waitFor(const Match& match, std::size_t count = 1, int milliseconds = 5000) const
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                  [&] { return countLocked(match) >= count; });
    }
    void clear()
    {
        std::lock_guard lock(m_mutex);
        m_events.clear();
        m_threads.clear();
    }

private:
    template <typename Match>
    static bool matches(const Event& event, const Match& match)
    {
        if constexpr (std::is_invocable_r_v<bool, const Match&, const Event&>)
            return match(event);
        else
            return event == match;
    }
    template <typename Match>
    std::size_t countLocked(const Match& match) const
    {
        std::size_t found = 0;
        for (const Event& event : m_events)
            found += matches(event, match) ? 1 : 0;
        return found;
    }

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<Event> m_events;
    std::vector<std::thread::id> m_threads; // the thread of each event, by position
};

} // namespace dorvane::test
