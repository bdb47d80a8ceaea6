// Inside the Internet client layer: the Internet handle (a session), which owns the driver of
// its transfers (Driver), and the connection handle, which only remembers where its requests go.
#pragma once

#include <memory>
#include <string>

#include "wininet_driver.h"
#include "wininet_handles.h"

namespace wininet {

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
