// Inside the Internet client layer: the threads that drive the asynchronous Internet handles.
//
// A program may hold a thousand asynchronous sessions at once; a thread for each would cost more
// than the work, and so would a multi handle for each (its set-up and clean-up cost more than a
// small request). A few loops (one thread each) share them: each loop has one multi handle in
// which the transfers of all its sessions run, each session keeping its own connections and
// cookies in a share handle that only the loop's thread touches while it drives. libcurl's
// socket and timer callbacks tell the loop which sockets to watch and when its timer is due, and
// the loop waits on all of them at once in one epoll set. Commands posted to a session wake its
// loop through an eventfd. A loop runs on a parked thread of the kernel family from its first
// session to its last, so a program with no session runs none of them (and once the thread's
// idle limit has passed, holds no thread for them either). A loop without sessions keeps its
// epoll set, eventfd and multi handle for the next one: a program that opens a session for each
// request then neither makes nor frees them each time. The loops, as many as loopCount(), are
// made as they are first needed and kept to the end of the process.
//
//   auto loop = DriverLoop::join(driver);   // the driver's transfers now run on the loop's thread
//   ...
//   loop->leave(*driver);                   // after the driver has released its transfers
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "unique_fd.h"
#include "wininet_curl.h"

struct epoll_event;

namespace wininet {

class Driver;

class DriverLoop : public std::enable_shared_from_this<DriverLoop> {
public:
    using Clock = std::chrono::steady_clock;

    // The loop that takes the driver, started on a thread when it has none; nullptr with the
    // last error set when no thread or multi handle can be had.
    static std::shared_ptr<DriverLoop> join(const std::shared_ptr<Driver>& driver);
    DriverLoop(const DriverLoop&) = delete;
    DriverLoop& operator=(const DriverLoop&) = delete;

    // The driver is gone from the loop, its commands forgotten. The last driver to leave stops
    // the loop's thread, waiting for it a bounded time unless it is the caller's.
    void leave(Driver& driver);
    // The multi handle of the loop's transfers, used only with driveLock() held.
    void* multi() const { return m_multi.get(); }
    // Held by the thread that drives the multi handle (and the sessions' shares): the loop's own
    // in its round, or a driver releasing its transfers.
    std::mutex& driveLock() { return m_driveMutex; }
    // Whether the calling thread is the loop's, in its round.
    bool driving() const { return onThread() && m_driving; }
    // The driver has commands to run.
    void ready(Driver& driver);
    // With driveLock() held: the driver has notifications to deliver once the round ends.
    void eventsDue(std::weak_ptr<Driver> driver);
    // True on the thread running this loop.
    bool onThread() const;

private:
    // Where join puts a driver: a loop made before, or a new one in a free place of the pool
    // (the one made before, if any, when no new one can be made).
    struct Choice {
        std::shared_ptr<DriverLoop> running;
        std::shared_ptr<DriverLoop>* newPlace = nullptr;
    };
    // What one wait found to do.
    struct Work {
        std::vector<std::pair<int, int>> sockets; // socket, CURL_CSELECT_*
        std::vector<std::weak_ptr<Driver>> ready;
        std::vector<std::weak_ptr<Driver>> ticked; // every driver, at each tick
        bool timerDue = false;
    };

    DriverLoop(platform::UniqueFd epoll, platform::UniqueFd wake, curl::Multi multi);
    // With the pool's lock held: the least busy loop, and a free place for a new
    // one unless one made before is idle.
    static Choice chooseLoop(std::vector<std::shared_ptr<DriverLoop>>& places);
    // A loop with its epoll set, eventfd and multi handle, not yet running; nullptr when one of
    // them can't be had.
    static std::shared_ptr<DriverLoop> makeLoop();
    // With m_mutex held: runs the loop on a parked thread; false when no thread can be had.
    bool start();
    // libcurl's socket callback (what: CURL_POLL_*) and timer callback (milliseconds until the
    // timer is due, -1 for none), called while the multi handle is driven.
    static int watchSocket(void* easy, int socket, int what, void* loop, void* socketData);
    static int setTimer(void* multi, long milliseconds, void* loop);
    void watch(int socket, int what);
    void run();
    void wake();
    // One pass: waits for sockets, commands or timers, then drives the multi handle.
    void runOnce();
    int waitMilliseconds();
    Work collectWork(const epoll_event* events, int count);

    const platform::UniqueFd m_epoll;
    const platform::UniqueFd m_wake; // an eventfd

    std::mutex m_driveMutex;
    curl::Multi m_multi;   // used with m_driveMutex held
    bool m_driving = false; // the loop's thread only
    std::vector<std::weak_ptr<Driver>> m_eventsDue; // guarded by m_driveMutex

    std::mutex m_mutex; // guards everything below; never held while a driver drives
    std::unordered_map<Driver*, std::weak_ptr<Driver>> m_drivers;
    std::set<int> m_sockets; // in the epoll set
    std::optional<Clock::time_point> m_timer;
    std::vector<std::weak_ptr<Driver>> m_ready;
    bool m_woken = false;   // the eventfd holds a wake-up not yet read
    bool m_running = false; // a thread runs the loop, until a pass ends with no driver
    std::condition_variable m_stopped;
    Clock::time_point m_nextTick;
};

} // namespace wininet
