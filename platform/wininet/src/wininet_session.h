// Inside the Internet client layer: the Internet handle (a session) with its layer thread, and
// the connection handle, which only remembers where its requests go.
//
// Each Internet handle owns one libcurl multi handle (its connection pool). Callers hand work to
// it as commands, run by whoever drives the multi handle next: in asynchronous mode the
// session's own thread, in synchronous mode the caller that waits, so that nothing crosses
// threads on the way and the notifications come on the caller's thread, inside its call. Only
// one thread drives at a time; libcurl's callbacks then fill the request's Transfer. The driver
// holds the transfers it works on; a transfer holds its driver only weakly, so nothing holds
// itself alive.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "wininet_curl.h"
#include "wininet_handles.h"

namespace wininet {

class Transfer;
struct TransferSetup;

class Driver {
public:
    using Command = std::function<void(Driver&)>;

    // A driver with its multi handle and cookie store, and in asynchronous mode its thread;
    // nullptr with the last error set when one of them can't be had.
    static std::shared_ptr<Driver> create(std::shared_ptr<SessionShared> shared);
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // Runs command where the multi handle is driven; dropped once the driver has stopped.
    void post(Command command);
    // Synchronous mode: one round of the caller's wait. Runs the commands, waits for network
    // activity first when waitFirst is set (at most a moment; cut short by new commands), then
    // lets libcurl work. False once the driver has stopped.
    bool drive(bool waitFirst);
    // Releases every transfer and the multi handle; in asynchronous mode ends the thread,
    // waiting for it a bounded time (it may be held in a status callback); called on that
    // thread itself, or past the limit, it returns and the thread ends on its own.
    void stop();

    // The driving thread only.
    void startTransfer(const std::shared_ptr<Transfer>& transfer, const TransferSetup& setup);
    void resumeTransfer(const std::shared_ptr<Transfer>& transfer);
    void releaseTransfer(const std::shared_ptr<Transfer>& transfer);
    void scheduleEvents(const std::shared_ptr<Transfer>& transfer);
    // Asynchronous mode: whether the calling thread is the session's own.
    bool onDriverThread() const { return std::this_thread::get_id() == m_threadId; }
    // Sockets are closed through the driver, which outlives every easy handle, so the request
    // that last used a connection hears of its closing. 0, or the code a failed option gives.
    [[nodiscard]] int configureSockets(void* easy);
    void socketOpened(int socket, Transfer* owner);
    // Only the closing of a connection that was established is reported.
    void socketEstablished(int socket);
    void socketClosing(int socket);

private:
    Driver(std::shared_ptr<SessionShared> shared, curl::Multi multi, curl::Share share);
    void run();
    bool runCommands();
    void wait(int milliseconds);
    void collectFinished();
    void failSilentTransfers();
    void deliverEvents();
    void detach(const std::shared_ptr<Transfer>& transfer);
    void releaseAll();

    const std::shared_ptr<SessionShared> m_shared;
    // Declared first, so that it goes last: releaseAll frees the easy handles that use it first.
    curl::Share m_share;
    curl::Multi m_multi; // guarded by m_mutex for wake-ups from other threads
    std::thread m_thread;
    std::thread::id m_threadId; // set once, before any transfer exists
    std::mutex m_mutex;
    std::vector<Command> m_commands;
    bool m_stopping = false;
    bool m_threadDone = false; // asynchronous mode: the thread has released everything
    std::condition_variable m_threadEnded;
    std::mutex m_driveMutex; // held by the thread that drives the multi handle
    bool m_released = false;
    std::atomic<bool> m_waiting{false}; // a driver waits in curl_multi_poll

    // The driving thread only.
    std::map<Transfer*, std::shared_ptr<Transfer>> m_attached; // in the multi handle now
    std::set<std::shared_ptr<Transfer>> m_owners;   // holding an easy handle
    std::vector<std::shared_ptr<Transfer>> m_eventful;
    struct SocketOwner {
        std::weak_ptr<Transfer> transfer;
        bool established = false;
    };
    std::map<int, SocketOwner> m_socketOwners;
};

class Session : public HandleObject {
public:
    // A session with its driver; nullptr with the last error set when the driver can't be had.
    static std::shared_ptr<Session> open(std::string agent, DWORD accessType, std::string proxy,
                                         std::string proxyBypass, DWORD flags);
    Session(std::string agent, DWORD accessType, std::string proxy, std::string proxyBypass, DWORD flags,
            std::shared_ptr<SessionShared> shared, std::shared_ptr<Driver> driver);
    std::shared_ptr<SessionShared> shared() const override { return m_shared; }
    const std::shared_ptr<Driver>& driver() const { return m_driver; }

    const std::string agent;
    const DWORD accessType;
    const std::string proxy;
    const std::string proxyBypass;
    const DWORD flags;

protected:
    bool closeResources() override;

private:
    const std::shared_ptr<SessionShared> m_shared;
    const std::shared_ptr<Driver> m_driver;
};

class Connection : public HandleObject {
public:
    Connection(std::shared_ptr<Session> session, std::string host, INTERNET_PORT port, DWORD flags,
               DWORD_PTR context);
    const std::shared_ptr<Session>& session() const { return m_session; }

    const std::string host;
    const INTERNET_PORT port;
    const DWORD flags;

private:
    std::shared_ptr<Session> m_session;
};

} // namespace wininet
