#include "wininet_session.h"

#include <utility>

namespace wininet {

std::shared_ptr<Session> Session::open(std::string agent, DWORD accessType, std::string proxy, std::string proxyBypass,
                                       DWORD flags)
{
    auto shared = std::make_shared<SessionShared>();
    shared->async = (flags & INTERNET_FLAG_ASYNC) != 0;
    std::shared_ptr<Driver> driver = Driver::create(shared);
    if (!driver)
        return nullptr;
    return std::make_shared<Session>(std::move(agent), accessType, std::move(proxy), std::move(proxyBypass), flags,
                                     std::move(shared), std::move(driver));
}

Session::Session(std::string agentName, DWORD access, std::string proxyList, std::string bypass, DWORD openFlags,
                 std::shared_ptr<SessionShared> shared, std::shared_ptr<Driver> driver)
    : HandleObject(HandleKind::Internet, 0, nullptr)
    , agent(std::move(agentName))
    , accessType(access)
    , proxy(std::move(proxyList))
    , proxyBypass(std::move(bypass))
    , flags(openFlags)
    , m_shared(std::move(shared))
    , m_driver(std::move(driver))
{
}

bool Session::closeResources()
{
    m_driver->stop();
    return false;
}

Connection::Connection(std::shared_ptr<Session> session, std::string hostName, INTERNET_PORT serverPort,
                       DWORD connectFlags, DWORD_PTR context)
    : HandleObject(HandleKind::Connection, context, session)
    , host(std::move(hostName))
    , port(serverPort)
    , flags(connectFlags)
    , m_session(std::move(session))
{
}

} // namespace wininet

using namespace wininet;

HINTERNET InternetOpenA(LPCSTR agent, DWORD accessType, LPCSTR proxy, LPCSTR proxyBypass, DWORD flags)
{
    if (accessType != INTERNET_OPEN_TYPE_PRECONFIG && accessType != INTERNET_OPEN_TYPE_DIRECT
        && accessType != INTERNET_OPEN_TYPE_PROXY) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (accessType == INTERNET_OPEN_TYPE_PROXY && (proxy == nullptr || *proxy == '\0')) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const auto session = Session::open(agent != nullptr ? agent : "", accessType, proxy != nullptr ? proxy : "",
                                       proxyBypass != nullptr ? proxyBypass : "", flags);
    if (!session)
        return nullptr;
    return registerHandle(session);
}

HINTERNET InternetConnectA(HINTERNET internet, LPCSTR serverName, INTERNET_PORT serverPort, LPCSTR userName,
                           LPCSTR password, DWORD service, DWORD flags, DWORD_PTR context)
{
    const auto session = findHandleOf<Session>(internet, HandleKind::Internet);
    if (!session)
        return nullptr;
    if (serverName == nullptr || *serverName == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (service != INTERNET_SERVICE_HTTP) {
        SetLastError(ERROR_INTERNET_INVALID_OPERATION);
        return nullptr;
    }
    auto connection = std::make_shared<Connection>(session, serverName, serverPort, flags, context);
    HandleOptions credentials;
    if (userName != nullptr && *userName != '\0')
        credentials.userName = userName;
    if (password != nullptr && *password != '\0')
        credentials.password = password;
    connection->setOptions(credentials);
    return registerHandle(connection);
}
