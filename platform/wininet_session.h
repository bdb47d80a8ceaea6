// Inside the Internet client layer: the Internet handle (a session) with its layer thread, and
// the connection handle, which only remembers where its requests go.
//
// Each Internet handle owns one libcurl multi handle (its connection pool) and one thread that
// alone touches it. Callers hand work to that thread as commands; libcurl's callbacks on it
// fill the request's Transfer, which the callers wait on.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "wininet_handles.h"

namespace wininet {

class Transfer;
struct TransferSetup;

class Driver : public std::enable_shared_from_this<Driver> {
public:
    static std::shared_ptr<Driver> create(std::shared_ptr<SessionShared> shared);
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // Runs command on the layer thread; dropped once the driver has stopped.
    void post(std::function<void()> command);
    // Ends the layer thread after releasing every transfer. Returns at once when called on the
    // layer thread itself (from a status callback); the thread then ends on its own.
    void stop();

    // Layer thread only.
    void startTransfer(const std::shared_ptr<Transfer>& transfer, const TransferSetup& setup);
    void resumeTransfer(const std::shared_ptr<Transfer>& transfer);
    void releaseTransfer(const std::shared_ptr<Transfer>& transfer);
    void scheduleEvents(const std::shared_ptr<Transfer>& transfer);
    // Sockets are closed through the driver, which outlives every easy handle, so the request
    // that last used a connection hears of its closing.
    void configureSockets(void* easy);
    void socketInUse(int socket, Transfer* owner);
    void socketClosing(int socket);

private:
    explicit Driver(std::shared_ptr<SessionShared> shared);
    void run();
    bool runCommands();
    void collectFinished();
    void deliverEvents();
    void detach(const std::shared_ptr<Transfer>& transfer);
    void releaseAll();

    const std::shared_ptr<SessionShared> m_shared;
    void* m_multi = nullptr;
    void* m_share = nullptr;
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<std::function<void()>> m_commands;
    bool m_stopping = false;

    // Layer thread only.
    std::map<Transfer*, std::shared_ptr<Transfer>> m_attached; // in the multi handle now
    std::set<std::shared_ptr<Transfer>> m_owners;   // holding an easy handle
    std::vector<std::shared_ptr<Transfer>> m_eventful;
    std::map<int, std::weak_ptr<Transfer>> m_socketOwners;
};

class Session : public HandleObject {
public:
    Session(std::string agent, DWORD accessType, std::string proxy, std::string proxyBypass, DWORD flags);
    std::shared_ptr<SessionShared> shared() const override { return m_shared; }
    const std::shared_ptr<Driver>& driver() const { return m_driver; }

    const std::string agent;
    const DWORD accessType;
    const std::string proxy;
    const std::string proxyBypass;
    const DWORD flags;

protected:
    void closeResources() override;

private:
    std::shared_ptr<SessionShared> m_shared;
    std::shared_ptr<Driver> m_driver;
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
