#pragma once
// Tasks run one at a time, in order, on a thread of their own, with at most a fixed number
// waiting: where a burst of expensive work (password hashes) queues, so that it never holds the
// threads that cheap work needs. Past the bound a task is refused at once, for its caller to
// answer "busy" rather than keep the client waiting ever longer.
//
//   TaskQueue hashes(16);
//   if (!hashes.tryPost([respond] { respond(slowWork()); }))
//       respond(busy);
//   ...
//   hashes.stop(); // the running task finishes, the waiting ones are dropped
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace dorvane::devserver {

class TaskQueue {
public:
    explicit TaskQueue(std::size_t maxWaiting);
    ~TaskQueue();
    TaskQueue(const TaskQueue&) = delete;
    TaskQueue& operator=(const TaskQueue&) = delete;

    // Queues the task; false (and the task dropped) when maxWaiting tasks wait already or the
    // queue has stopped. Any thread.
    [[nodiscard]] bool tryPost(std::function<void()> task);
    // Tasks waiting, the running one not counted.
    [[nodiscard]] std::size_t waiting() const;
    // Waits for the running task, drops the waiting ones (outside the lock) and refuses new ones.
    // Any thread but the queue's own; again later does nothing.
    void stop();

private:
    void run();

    const std::size_t m_maxWaiting;
    mutable std::mutex m_mutex; // guards m_waiting and m_stopped
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_waiting;
    bool m_stopped = false;
    std::thread m_thread; // last: it runs on the members above
};

} // namespace dorvane::devserver
