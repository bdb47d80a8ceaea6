#include "wininet_driver.h"

#include <curl/curl.h>

#include "fault_injection.h"
#include "unique_fd.h"
#include "wininet_driver_loop.h"
#include "wininet_transfer.h"

namespace wininet {

namespace {

// A synchronous caller's wait is cut into rounds so that a caller that waits behind another one
// takes over the driving soon after that one leaves.
constexpr int syncWaitMilliseconds = 50;

// libcurl gives the socket up here: it is ours to close, with close's result for libcurl.
int closeSocketCallback(void* driver, curl_socket_t socket)
{
    static_cast<Driver*>(driver)->socketClosing(socket);
    return platform::UniqueFd(socket).close();
}

} // namespace

Driver::Driver(std::shared_ptr<SessionShared> shared, curl::Multi multi, curl::Share share)
    : m_shared(std::move(shared))
    , m_share(std::move(share))
    , m_multi(std::move(multi))
{
}

std::shared_ptr<Driver> Driver::create(std::shared_ptr<SessionShared> shared)
{
    // An asynchronous session drives its transfers in its loop's multi handle, with the
    // connections kept in its own share instead of that multi handle's pool.
    const bool async = shared->async;
    curl::Multi multi = async ? curl::Multi() : curl::newMulti();
    curl::Share share = curl::newSessionShare(async);
    if ((!async && !multi) || !share) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::shared_ptr<Driver> driver(new Driver(std::move(shared), std::move(multi), std::move(share)));
    if (async) {
        driver->m_loop = DriverLoop::join(driver);
        if (!driver->m_loop)
            return nullptr; // the last error is set
    }
    return driver;
}

void* Driver::multi() const
{
    return m_loop ? m_loop->multi() : m_multi.get();
}

std::mutex& Driver::driveLock()
{
    return m_loop ? m_loop->driveLock() : m_driveMutex;
}

bool Driver::onDriverThread() const
{
    return m_loop && m_loop->driving();
}

Driver::~Driver()
{
    stop();
}

void Driver::post(Command command)
{
    bool first = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping)
            return;
        m_commands.push_back(std::move(command));
        first = m_commands.size() == 1;
        // A synchronous caller that drives runs the command in its next round anyway; only a
        // driver waiting on the network needs waking.
        if (!m_shared->async && m_waiting.load())
            curl_multi_wakeup(m_multi.get());
    }
    // Later commands find the loop told already.
    if (first && m_loop)
        m_loop->ready(*this);
}

void Driver::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        if (m_multi)
            curl_multi_wakeup(m_multi.get());
    }
    {
        // A round in progress finishes first (a synchronous caller's wait was cut short).
        std::lock_guard drive(driveLock());
        releaseAll();
    }
    bool leave = false;
    {
        std::lock_guard lock(m_mutex);
        leave = m_loop && !std::exchange(m_leftLoop, true);
    }
    if (leave)
        m_loop->leave(*this);
}

bool Driver::runLoopCommands()
{
    bool ran = false;
    return runCommands(&ran) && ran;
}

void Driver::transferDone(Transfer* transfer, int result)
{
    const auto it = m_attached.find(transfer);
    if (it == m_attached.end())
        return;
    const std::shared_ptr<Transfer> done = it->second;
    detach(done);
    done->finish(result);
}

void Driver::takeEventful(std::vector<std::shared_ptr<Transfer>>& due)
{
    due.insert(due.end(), std::make_move_iterator(m_eventful.begin()), std::make_move_iterator(m_eventful.end()));
    m_eventful.clear();
}

bool Driver::drive(bool waitFirst)
{
    std::lock_guard drive(m_driveMutex);
    if (m_released || !runCommands())
        return false;
    if (waitFirst)
        wait(syncWaitMilliseconds);
    if (!runCommands())
        return false;
    int running = 0;
    curl_multi_perform(m_multi.get(), &running);
    std::vector<std::shared_ptr<Driver>> concerned; // this driver only: its caller holds it too
    collectFinished(m_multi.get(), concerned);
    failSilentTransfers();
    return true;
}

// Waits for network activity, libcurl's next timer, or a wake-up from post() or stop().
void Driver::wait(int milliseconds)
{
    m_waiting = true;
    // A command posted just before the flag was raised found no one to wake: look first.
    bool pending = false;
    {
        std::lock_guard lock(m_mutex);
        pending = !m_commands.empty() || m_stopping;
    }
    if (!pending)
        curl_multi_poll(m_multi.get(), nullptr, 0, milliseconds, nullptr);
    m_waiting = false;
}

bool Driver::runCommands(bool* ran)
{
    std::vector<Command> commands;
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping)
            return false;
        commands.swap(m_commands);
    }
    if (ran != nullptr)
        *ran = !commands.empty();
    for (auto& command : commands)
        command(*this);
    return true;
}

void Driver::collectFinished(void* multi, std::vector<std::shared_ptr<Driver>>& concerned)
{
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        Transfer* transfer = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
        // A transfer in the multi handle is held by its driver, which removes it before it goes.
        if (std::shared_ptr<Driver> driver = transfer->driver()) {
            driver->transferDone(transfer, message->data.result);
            concerned.push_back(std::move(driver));
        }
    }
}

void Driver::failSilentTransfers()
{
    const auto now = std::chrono::steady_clock::now();
    std::vector<std::shared_ptr<Transfer>> silent;
    for (const auto& [raw, transfer] : m_attached) {
        if (transfer->silentTooLong(now))
            silent.push_back(transfer);
    }
    for (const auto& transfer : silent) {
        detach(transfer);
        transfer->finish(CURLE_OPERATION_TIMEDOUT);
    }
}

void Driver::detach(const std::shared_ptr<Transfer>& transfer)
{
    if (m_attached.erase(transfer.get()) > 0)
        curl_multi_remove_handle(multi(), transfer->easy());
}

void Driver::startTransfer(const std::shared_ptr<Transfer>& transfer, const TransferSetup& setup)
{
    if (transfer->cancelled())
        return;
    detach(transfer);
    // Every transfer, a re-send too, gets an easy handle never used before. libcurl 7.88 keeps a
    // pointer to the last header of a handle's previous transfer, and a response that opens with
    // a folded header line then makes it read freed memory (found by fuzzing). Connections belong
    // to the multi handle, so they are reused all the same.
    m_owners.insert(transfer);
    if (!transfer->start(setup, m_share.get(), *this))
        return; // failed, and told so
    if (platform::fault::Injected(platform::fault::Kind::CurlSetup) ||
        curl_multi_add_handle(multi(), transfer->easy()) != CURLM_OK) {
        transfer->refuse(ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    m_attached.emplace(transfer.get(), transfer);
}

void Driver::resumeTransfer(const std::shared_ptr<Transfer>& transfer)
{
    if (m_attached.count(transfer.get()) > 0)
        transfer->resume();
}

void Driver::releaseTransfer(const std::shared_ptr<Transfer>& transfer)
{
    detach(transfer);
    transfer->releaseEasy();
    m_owners.erase(transfer);
}

void Driver::scheduleEvents(const std::shared_ptr<Transfer>& transfer)
{
    m_eventful.push_back(transfer);
    if (m_loop && m_eventful.size() == 1)
        m_loop->eventsDue(weak_from_this());
}

int Driver::configureSockets(void* easy)
{
    const auto setupFails = [] { return platform::fault::Injected(platform::fault::Kind::CurlSetup); };
    if (setupFails())
        return CURLE_OUT_OF_MEMORY;
    const CURLcode result = curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, closeSocketCallback);
    if (result != CURLE_OK)
        return result;
    return setupFails() ? CURLE_OUT_OF_MEMORY : curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, this);
}

void Driver::socketOpened(int socket, Transfer* owner)
{
    const auto it = m_owners.find(std::shared_ptr<Transfer>(std::shared_ptr<Transfer>(), owner));
    if (it != m_owners.end())
        m_socketOwners[socket] = SocketOwner{*it, false};
}

void Driver::socketEstablished(int socket)
{
    const auto it = m_socketOwners.find(socket);
    if (it != m_socketOwners.end())
        it->second.established = true;
}

void Driver::socketClosing(int socket)
{
    const auto it = m_socketOwners.find(socket);
    if (it == m_socketOwners.end())
        return;
    const SocketOwner owner = it->second;
    m_socketOwners.erase(it);
    if (!owner.established)
        return;
    if (const auto transfer = owner.transfer.lock())
        transfer->socketClosed();
}

void Driver::releaseAll()
{
    if (m_released)
        return;
    m_released = true;
    // Commands that never ran hold their transfers: drop them.
    std::vector<Command> unrun;
    {
        std::lock_guard lock(m_mutex);
        unrun.swap(m_commands);
    }
    unrun.clear();
    for (const auto& [raw, transfer] : m_attached)
        curl_multi_remove_handle(multi(), transfer->easy());
    m_attached.clear();
    for (const auto& transfer : m_owners)
        transfer->releaseEasy();
    m_owners.clear();
    m_eventful.clear();
    m_socketOwners.clear();
    // Wake-ups from other threads use the multi handle under the lock; take it away first.
    curl::Multi multi;
    {
        std::lock_guard lock(m_mutex);
        multi = std::move(m_multi);
    }
    multi.reset();
    // The store's connections close here, each telling its last request.
    m_share.reset();
}

} // namespace wininet
