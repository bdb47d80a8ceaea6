#include "wininet_driver_loop.h"

#include <curl/curl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "errhandlingapi.h"
#include "fault_injection.h"
#include "winerror.h"
#include "wininet_driver.h"

namespace wininet {

namespace {

// Every driver is looked at this often, even with nothing to do: the receive time-out is kept
// by the layer, not by libcurl.
constexpr auto tickInterval = std::chrono::milliseconds(200);
constexpr auto threadEndLimit = std::chrono::seconds(2);
constexpr int eventsPerWait = 256;

// A few loops share every asynchronous session: enough to use the processors, few enough that
// a program with a thousand sessions holds a handful of threads.
std::size_t loopCount()
{
    return std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 4);
}

struct Pool {
    std::mutex mutex;
    std::vector<std::weak_ptr<DriverLoop>> loops;
};

// Never destroyed, as the handle table: loops join and leave it up to the end of the process.
Pool& pool()
{
    static Pool* const instance = new Pool;
    return *instance;
}

} // namespace

DriverLoop::DriverLoop(platform::UniqueFd epoll, platform::UniqueFd wake)
    : m_epoll(std::move(epoll))
    , m_wake(std::move(wake))
    , m_nextTick(Clock::now() + tickInterval)
{
}

DriverLoop::~DriverLoop()
{
    // The thread holds its loop: when this runs on it, it is returning.
    if (m_thread.joinable())
        m_thread.detach();
}

std::shared_ptr<DriverLoop> DriverLoop::join(const std::shared_ptr<Driver>& driver)
{
    Pool& loops = pool();
    std::lock_guard poolLock(loops.mutex);
    if (loops.loops.empty())
        loops.loops.resize(loopCount());
    Choice choice = chooseLoop(loops.loops);
    std::shared_ptr<DriverLoop> chosen = std::move(choice.running);
    if (choice.newPlace != nullptr) {
        if (std::shared_ptr<DriverLoop> made = makeLoop()) {
            *choice.newPlace = made;
            chosen = std::move(made);
        }
    }
    if (!chosen) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::lock_guard lock(chosen->m_mutex);
    chosen->m_drivers[driver.get()] = Entry{driver};
    return chosen;
}

DriverLoop::Choice DriverLoop::chooseLoop(std::vector<std::weak_ptr<DriverLoop>>& places)
{
    Choice choice;
    std::size_t chosenLoad = 0;
    std::weak_ptr<DriverLoop>* freePlace = nullptr;
    for (auto& place : places) {
        std::shared_ptr<DriverLoop> loop = place.lock();
        std::size_t load = 0;
        bool usable = false;
        if (loop) {
            std::lock_guard lock(loop->m_mutex);
            usable = !loop->m_ending;
            load = loop->m_drivers.size();
        }
        if (!usable) {
            if (freePlace == nullptr)
                freePlace = &place;
            continue;
        }
        if (!choice.running || load < chosenLoad) {
            choice.running = loop;
            chosenLoad = load;
        }
    }
    if (!choice.running || chosenLoad > 0)
        choice.newPlace = freePlace;
    return choice;
}

std::shared_ptr<DriverLoop> DriverLoop::makeLoop()
{
    platform::UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
    platform::UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!epoll || !wake)
        return nullptr;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = wake.get();
    if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, wake.get(), &event) != 0)
        return nullptr;
    if (platform::fault::Injected(platform::fault::Kind::CreateThread))
        return nullptr;
    std::shared_ptr<DriverLoop> loop(new DriverLoop(std::move(epoll), std::move(wake)));
    try {
        // The thread holds the loop until it has ended.
        loop->m_thread = std::thread([loop] { loop->run(); });
    } catch (const std::system_error&) {
        return nullptr;
    }
    loop->m_threadId = loop->m_thread.get_id();
    return loop;
}

void DriverLoop::leave(Driver& driver)
{
    bool last = false;
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_drivers.find(&driver);
        if (it == m_drivers.end())
            return;
        if (it->second.timerSet)
            m_timers.erase({it->second.deadline, &driver});
        m_drivers.erase(it);
        std::erase_if(m_sockets, [&driver](const auto& socket) { return socket.second == &driver; });
        last = m_drivers.empty();
        m_ending = m_ending || last;
    }
    if (!last)
        return;
    wake();
    if (onThread() || !m_thread.joinable())
        return;
    // The thread may be inside a status callback that waits for this one (an event sent to its
    // window, say); past the limit it ends on its own, holding the loop.
    std::unique_lock lock(m_mutex);
    const bool ended = m_threadEnded.wait_for(lock, threadEndLimit, [this] { return m_threadDone; });
    lock.unlock();
    if (ended)
        m_thread.join();
}

void DriverLoop::watch(Driver& driver, int socket, int what)
{
    std::lock_guard lock(m_mutex);
    if (what == CURL_POLL_REMOVE) {
        const auto it = m_sockets.find(socket);
        if (it != m_sockets.end() && it->second == &driver) {
            m_sockets.erase(it);
            ::epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, socket, nullptr);
        }
        return;
    }
    if (m_drivers.count(&driver) == 0)
        return;
    epoll_event event{};
    event.events = ((what & CURL_POLL_IN) != 0 ? EPOLLIN : 0u) | ((what & CURL_POLL_OUT) != 0 ? EPOLLOUT : 0u);
    event.data.fd = socket;
    // A number the set still holds may be a socket closed and opened again since.
    const bool known = m_sockets.count(socket) > 0;
    if (::epoll_ctl(m_epoll.get(), known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, socket, &event) != 0)
        ::epoll_ctl(m_epoll.get(), known ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, socket, &event);
    m_sockets[socket] = &driver;
}

void DriverLoop::setTimer(Driver& driver, long milliseconds)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_drivers.find(&driver);
    if (it == m_drivers.end())
        return;
    Entry& entry = it->second;
    if (entry.timerSet)
        m_timers.erase({entry.deadline, &driver});
    entry.timerSet = milliseconds >= 0;
    if (!entry.timerSet)
        return;
    entry.deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    m_timers.emplace(entry.deadline, &driver);
    // Timers are set while the driver is driven, which is on this loop's thread.
}

void DriverLoop::ready(Driver& driver)
{
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_drivers.find(&driver);
        if (it == m_drivers.end())
            return;
        m_ready.push_back(it->second.driver);
        // The thread looks at the ready list before it waits again.
        if (onThread() || m_woken)
            return;
        m_woken = true;
    }
    wake();
}

void DriverLoop::wake()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wake.get(), &one, sizeof one);
}

void DriverLoop::run()
{
    for (;;) {
        runOnce();
        std::lock_guard lock(m_mutex);
        if (m_ending)
            break;
    }
    std::lock_guard lock(m_mutex);
    m_threadDone = true;
    m_threadEnded.notify_all();
}

int DriverLoop::waitMilliseconds()
{
    std::lock_guard lock(m_mutex);
    if (!m_ready.empty() || m_ending)
        return 0;
    Clock::time_point until = m_nextTick;
    if (!m_timers.empty())
        until = std::min(until, m_timers.begin()->first);
    const auto now = Clock::now();
    if (until <= now)
        return 0;
    // Rounded up, so that a timer is never found not yet due.
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(until - now).count());
}

void DriverLoop::runOnce()
{
    epoll_event events[eventsPerWait];
    const int count = ::epoll_wait(m_epoll.get(), events, eventsPerWait, waitMilliseconds());
    struct SocketWork {
        std::weak_ptr<Driver> driver;
        int socket;
        int action;
    };
    std::vector<SocketWork> sockets;
    std::vector<std::weak_ptr<Driver>> ready;
    std::vector<std::weak_ptr<Driver>> due;
    std::vector<std::weak_ptr<Driver>> ticked;
    {
        std::lock_guard lock(m_mutex);
        for (int i = 0; i < count; ++i) {
            const int socket = events[i].data.fd;
            if (socket == m_wake.get()) {
                std::uint64_t value = 0;
                [[maybe_unused]] const auto read = ::read(m_wake.get(), &value, sizeof value);
                m_woken = false;
                continue;
            }
            const auto owner = m_sockets.find(socket);
            if (owner == m_sockets.end())
                continue;
            const auto entry = m_drivers.find(owner->second);
            if (entry == m_drivers.end())
                continue;
            const std::uint32_t flags = events[i].events;
            int action = 0;
            if ((flags & EPOLLIN) != 0)
                action |= CURL_CSELECT_IN;
            if ((flags & EPOLLOUT) != 0)
                action |= CURL_CSELECT_OUT;
            if ((flags & (EPOLLERR | EPOLLHUP)) != 0)
                action |= CURL_CSELECT_ERR;
            sockets.push_back({entry->second.driver, socket, action});
        }
        ready.swap(m_ready);
        collectDue(due, ticked);
    }
    // Drivers are driven with the loop's lock released: they call back into it.
    for (const SocketWork& work : sockets) {
        if (const std::shared_ptr<Driver> driver = work.driver.lock())
            driver->driveLoopRound(work.socket, work.action);
    }
    for (const auto& weak : ready) {
        if (const std::shared_ptr<Driver> driver = weak.lock())
            driver->driveLoopRound(Driver::commandsOnly, 0);
    }
    for (const auto& weak : due) {
        if (const std::shared_ptr<Driver> driver = weak.lock())
            driver->driveLoopRound(CURL_SOCKET_TIMEOUT, 0);
    }
    for (const auto& weak : ticked) {
        if (const std::shared_ptr<Driver> driver = weak.lock())
            driver->driveLoopRound(Driver::commandsOnly, 0);
    }
}

// With m_mutex held: the drivers whose timer is due, and at each tick every driver, which then
// only looks for silent servers (its timer stays as libcurl set it).
void DriverLoop::collectDue(std::vector<std::weak_ptr<Driver>>& due, std::vector<std::weak_ptr<Driver>>& ticked)
{
    const auto now = Clock::now();
    while (!m_timers.empty() && m_timers.begin()->first <= now) {
        Driver* const raw = m_timers.begin()->second;
        m_timers.erase(m_timers.begin());
        const auto entry = m_drivers.find(raw);
        if (entry == m_drivers.end())
            continue;
        entry->second.timerSet = false;
        due.push_back(entry->second.driver);
    }
    if (now < m_nextTick)
        return;
    m_nextTick = now + tickInterval;
    for (const auto& [raw, entry] : m_drivers)
        ticked.push_back(entry.driver);
}

} // namespace wininet
