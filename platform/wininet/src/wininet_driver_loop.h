// Inside the Internet client layer: the threads that drive the asynchronous Internet handles.
//
// A program may hold a thousand asynchronous sessions at once; a thread for each would cost more
// than the work. A few loops (one thread each) share them: every session's multi handle tells
// its loop through libcurl's socket and timer callbacks which sockets to watch and when its next
// timer is due, and the loop waits on all of them at once in one epoll set. Commands posted to
// a session wake its loop through an eventfd. A loop's thread starts with its first session and
// ends with its last, so a program with no session holds none of them.
//
//   auto loop = DriverLoop::join(driver);   // the driver now runs on the loop's thread
//   ...
//   loop->leave(*driver);                   // after the driver has released its multi handle
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "unique_fd.h"

namespace wininet {

class Driver;

class DriverLoop : public std::enable_shared_from_this<DriverLoop> {
public:
    using Clock = std::chrono::steady_clock;

    // The loop that takes the driver, its thread started when it has none; nullptr with the
    // last error set when no thread can be had.
    static std::shared_ptr<DriverLoop> join(const std::shared_ptr<Driver>& driver);
    ~DriverLoop();
    DriverLoop(const DriverLoop&) = delete;
    DriverLoop& operator=(const DriverLoop&) = delete;

    // The driver is gone from the loop: its sockets, timer and commands are forgotten. The last
    // driver to leave ends the thread, waiting for it a bounded time unless it is the caller's.
    void leave(Driver& driver);
    // libcurl's socket callback for a driver's multi handle (what: CURL_POLL_*).
    void watch(Driver& driver, int socket, int what);
    // libcurl's timer callback: milliseconds until the driver's timer is due, -1 for none.
    void setTimer(Driver& driver, long milliseconds);
    // The driver has commands to run.
    void ready(Driver& driver);
    bool onThread() const { return std::this_thread::get_id() == m_threadId; }

private:
    // Where join puts a driver: a running loop, or a new one in a free place of the pool (the
    // running one, if any, when no new one can be made).
    struct Choice {
        std::shared_ptr<DriverLoop> running;
        std::weak_ptr<DriverLoop>* newPlace = nullptr;
    };

    DriverLoop(platform::UniqueFd epoll, platform::UniqueFd wake);
    // With the pool's lock held: the least busy loop that goes on, and a free place for a new
    // one unless a running one is idle.
    static Choice chooseLoop(std::vector<std::weak_ptr<DriverLoop>>& places);
    // A loop with its epoll set, eventfd and thread; nullptr when one of them can't be had.
    static std::shared_ptr<DriverLoop> makeLoop();
    void run();
    void wake();
    // One pass: waits for sockets, commands or timers, then drives the drivers concerned.
    void runOnce();
    int waitMilliseconds();
    void collectDue(std::vector<std::weak_ptr<Driver>>& due, std::vector<std::weak_ptr<Driver>>& ticked);

    struct Entry {
        std::weak_ptr<Driver> driver;
        Clock::time_point deadline{};
        bool timerSet = false;
    };

    const platform::UniqueFd m_epoll;
    const platform::UniqueFd m_wake; // an eventfd
    std::thread m_thread;
    std::thread::id m_threadId;

    std::mutex m_mutex; // guards everything below; never held while a driver drives
    std::unordered_map<Driver*, Entry> m_drivers;
    std::set<std::pair<Clock::time_point, Driver*>> m_timers;
    std::unordered_map<int, Driver*> m_sockets; // the sockets in the epoll set, by owner
    std::vector<std::weak_ptr<Driver>> m_ready;
    bool m_woken = false;   // the eventfd holds a wake-up not yet read
    bool m_ending = false;  // the last driver left: the thread ends, no driver joins again
    bool m_threadDone = false;
    std::condition_variable m_threadEnded;
    Clock::time_point m_nextTick;
};

} // namespace wininet
