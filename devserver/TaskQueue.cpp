#include "TaskQueue.h"

namespace dorvane::devserver {

TaskQueue::TaskQueue(std::size_t maxWaiting)
    : m_maxWaiting(maxWaiting)
    , m_thread([this] { run(); })
{
}

TaskQueue::~TaskQueue()
{
    stop();
}

bool TaskQueue::tryPost(std::function<void()> task)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_stopped || m_waiting.size() >= m_maxWaiting)
            return false;
        m_waiting.push_back(std::move(task));
    }
    m_wake.notify_one();
    return true;
}

std::size_t TaskQueue::waiting() const
{
    std::lock_guard lock(m_mutex);
    return m_waiting.size();
}

void TaskQueue::stop()
{
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(m_mutex);
        m_stopped = true;
        dropped.swap(m_waiting);
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

void TaskQueue::run()
{
    while (true) {
        std::function<void()> task;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopped || !m_waiting.empty(); });
            if (m_stopped)
                return;
            task = std::move(m_waiting.front());
            m_waiting.pop_front();
        }
        task();
    }
}

} // namespace dorvane::devserver
