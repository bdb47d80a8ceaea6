#include "wininet_driver_loop.h"

#include <curl/curl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <thread>

#include "errhandlingapi.h"
#include "fault_injection.h"
#include "parked_threads.h"
#include "winerror.h"
#include "wininet_driver.h"
#include "wininet_transfer.h"

namespace wininet {

namespace {

// Every driver is looked at this often, even with nothing to do.
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
    std::vector<std::shared_ptr<DriverLoop>> loops;
};

// Never destroyed, as the handle table: a loop made once serves to the end of the process.
Pool& pool()
{
    static Pool* const instance = new Pool;
    return *instance;
}

// The loop the calling thread runs, if any: a parked thread runs one loop after another.
thread_local const DriverLoop* loopOnThisThread = nullptr;

} // namespace

DriverLoop::DriverLoop(platform::UniqueFd epoll, platform::UniqueFd wake, curl::Multi multi)
    : m_epoll(std::move(epoll))
    , m_wake(std::move(wake))
    , m_multi(std::move(multi))
    , m_nextTick(Clock::now() + tickInterval)
{
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
    if (!chosen->m_running && !chosen->start()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    chosen->m_drivers[driver.get()] = driver;
    return chosen;
}

DriverLoop::Choice DriverLoop::chooseLoop(std::vector<std::shared_ptr<DriverLoop>>& places)
{
    Choice choice;
    std::size_t chosenLoad = 0;
    std::shared_ptr<DriverLoop>* freePlace = nullptr;
    for (auto& place : places) {
        if (!place) {
            if (freePlace == nullptr)
                freePlace = &place;
            continue;
        }
        std::size_t load = 0;
        {
            std::lock_guard lock(place->m_mutex);
            load = place->m_drivers.size();
        }
        if (!choice.running || load < chosenLoad) {
            choice.running = place;
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
    curl::Multi multi = curl::newMulti();
    if (!epoll || !wake || !multi)
        return nullptr;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = wake.get();
    if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, wake.get(), &event) != 0)
        return nullptr;
    std::shared_ptr<DriverLoop> loop(new DriverLoop(std::move(epoll), std::move(wake), std::move(multi)));
    CURLM* const handle = loop->m_multi.get();
    if (curl_multi_setopt(handle, CURLMOPT_SOCKETFUNCTION, watchSocket) != CURLM_OK
        || curl_multi_setopt(handle, CURLMOPT_SOCKETDATA, loop.get()) != CURLM_OK
        || curl_multi_setopt(handle, CURLMOPT_TIMERFUNCTION, setTimer) != CURLM_OK
        || curl_multi_setopt(handle, CURLMOPT_TIMERDATA, loop.get()) != CURLM_OK)
        return nullptr;
    return loop;
}

bool DriverLoop::start()
{
    if (platform::fault::Injected(platform::fault::Kind::CreateThread))
        return false;
    try {
        // The job holds the loop until run() has returned.
        if (!platform::kernel::ParkedThreads::Shared().run([loop = shared_from_this()] { loop->run(); }))
            return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_running = true;
    return true;
}

bool DriverLoop::onThread() const
{
    return loopOnThisThread == this;
}

void DriverLoop::leave(Driver& driver)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_drivers.erase(&driver) == 0 || !m_drivers.empty())
            return;
    }
    wake();
    if (onThread())
        return;
    // The thread may be inside a status callback that waits for this one (an event sent to its
    // window, say); past the limit it stops on its own once the callback returns, without
    // touching a driver again.
    std::unique_lock lock(m_mutex);
    static_cast<void>(
        m_stopped.wait_for(lock, threadEndLimit, [this] { return !m_running || !m_drivers.empty(); }));
}

int DriverLoop::watchSocket(void*, int socket, int what, void* loop, void*)
{
    static_cast<DriverLoop*>(loop)->watch(socket, what);
    return 0;
}

void DriverLoop::watch(int socket, int what)
{
    std::lock_guard lock(m_mutex);
    if (what == CURL_POLL_REMOVE) {
        if (m_sockets.erase(socket) > 0)
            ::epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, socket, nullptr);
        return;
    }
    epoll_event event{};
    event.events = ((what & CURL_POLL_IN) != 0 ? EPOLLIN : 0u) | ((what & CURL_POLL_OUT) != 0 ? EPOLLOUT : 0u);
    event.data.fd = socket;
    // A number the set still holds may be a socket closed and opened again since.
    const bool known = !m_sockets.insert(socket).second;
    if (::epoll_ctl(m_epoll.get(), known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, socket, &event) != 0)
        ::epoll_ctl(m_epoll.get(), known ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, socket, &event);
}

int DriverLoop::setTimer(void*, long milliseconds, void* loop)
{
    auto* const self = static_cast<DriverLoop*>(loop);
    std::lock_guard lock(self->m_mutex);
    if (milliseconds < 0)
        self->m_timer.reset();
    else
        self->m_timer = Clock::now() + std::chrono::milliseconds(milliseconds);
    // Timers are set while the multi handle is driven: on this loop's thread, or by a driver
    // releasing its transfers, whose timer the next wait finds.
    return 0;
}

void DriverLoop::ready(Driver& driver)
{
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_drivers.find(&driver);
        if (it == m_drivers.end())
            return;
        m_ready.push_back(it->second);
        // The thread looks at the ready list before it waits again.
        if (onThread() || m_woken)
            return;
        m_woken = true;
    }
    wake();
}

void DriverLoop::eventsDue(std::weak_ptr<Driver> driver)
{
    m_eventsDue.push_back(std::move(driver));
}

void DriverLoop::wake()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wake.get(), &one, sizeof one);
}

void DriverLoop::run()
{
    loopOnThisThread = this;
    for (;;) {
        runOnce();
        std::lock_guard lock(m_mutex);
        if (m_drivers.empty()) {
            // Its epoll set, eventfd and multi handle wait for the next driver; the thread parks.
            m_running = false;
            m_stopped.notify_all();
            break;
        }
    }
    loopOnThisThread = nullptr;
}

int DriverLoop::waitMilliseconds()
{
    std::lock_guard lock(m_mutex);
    if (!m_ready.empty() || m_drivers.empty())
        return 0;
    Clock::time_point until = m_nextTick;
    if (m_timer)
        until = std::min(until, *m_timer);
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
    const Work work = collectWork(events, count);
    // Every driver met in the round is held until the drive lock is released: the last hold of
    // one would otherwise free it, and it stops under that lock.
    std::vector<std::shared_ptr<Driver>> concerned;
    std::vector<std::shared_ptr<Transfer>> eventful;
    {
        std::lock_guard drive(m_driveMutex);
        m_driving = true;
        CURLM* const multi = m_multi.get();
        bool commandsRan = false;
        for (const auto& weak : work.ready) {
            if (std::shared_ptr<Driver> driver = weak.lock()) {
                commandsRan = driver->runLoopCommands() || commandsRan;
                concerned.push_back(std::move(driver));
            }
        }
        int running = 0;
        for (const auto& [socket, action] : work.sockets)
            curl_multi_socket_action(multi, socket, action, &running);
        // A command may have added a transfer or resumed one: libcurl then wants its timer.
        if (work.timerDue || commandsRan)
            curl_multi_socket_action(multi, CURL_SOCKET_TIMEOUT, 0, &running);
        Driver::collectFinished(multi, concerned);
        for (const auto& weak : work.ticked) {
            if (std::shared_ptr<Driver> driver = weak.lock()) {
                driver->failSilentTransfers();
                concerned.push_back(std::move(driver));
            }
        }
        for (const auto& weak : std::exchange(m_eventsDue, {})) {
            if (std::shared_ptr<Driver> driver = weak.lock()) {
                driver->takeEventful(eventful);
                concerned.push_back(std::move(driver));
            }
        }
        m_driving = false;
    }
    // Status callbacks run with nothing held, so they may call any operation.
    for (const auto& transfer : eventful)
        transfer->deliverEvents();
}

DriverLoop::Work DriverLoop::collectWork(const epoll_event* events, int count)
{
    Work work;
    std::lock_guard lock(m_mutex);
    for (int i = 0; i < count; ++i) {
        const int socket = events[i].data.fd;
        if (socket == m_wake.get()) {
            std::uint64_t value = 0;
            [[maybe_unused]] const auto read = ::read(m_wake.get(), &value, sizeof value);
            m_woken = false;
            continue;
        }
        if (m_sockets.count(socket) == 0)
            continue;
        const std::uint32_t flags = events[i].events;
        int action = 0;
        if ((flags & EPOLLIN) != 0)
            action |= CURL_CSELECT_IN;
        if ((flags & EPOLLOUT) != 0)
            action |= CURL_CSELECT_OUT;
        // An error or hang-up counts as readable too, as in libcurl's own poll: a read then tells
        // a reset from a close. Caught mid-reset, the kernel can report the error before the
        // socket reads as shut, and libcurl takes an error alone for a failed send with no cause.
        if ((flags & (EPOLLERR | EPOLLHUP)) != 0)
            action |= CURL_CSELECT_IN | CURL_CSELECT_ERR;
        work.sockets.emplace_back(socket, action);
    }
    work.ready.swap(m_ready);
    const auto now = Clock::now();
    if (m_timer && *m_timer <= now) {
        m_timer.reset();
        work.timerDue = true;
    }
    // At each tick every driver looks for silent servers (the receive time-out is kept by the
    // layer, not by libcurl).
    if (now >= m_nextTick) {
        m_nextTick = now + tickInterval;
        for (const auto& [raw, driver] : m_drivers)
            work.ticked.push_back(driver);
    }
    return work;
}

} // namespace wininet
