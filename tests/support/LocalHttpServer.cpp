#include "LocalHttpServer.h"

#include <sys/socket.h>

#include <chrono>

namespace dorvane::test {

namespace {
constexpr auto startLimit = std::chrono::seconds(5);
}

LocalHttpServer::LocalHttpServer()
    : LocalHttpServer(std::make_unique<httplib::Server>())
{
}

LocalHttpServer::LocalHttpServer(std::unique_ptr<httplib::Server> server)
    : m_server(std::move(server))
{
    m_server->set_socket_options([this](int socket) {
        httplib::default_socket_options(socket);
        m_listener = socket;
    });
}

LocalHttpServer::~LocalHttpServer()
{
    stop();
}

bool LocalHttpServer::start()
{
    if (m_thread.joinable())
        return true;
    m_port = m_server->bind_to_any_port("127.0.0.1");
    if (m_port <= 0)
        return false;
    // Listening again raises the backlog.
    if (m_listener >= 0 && ::listen(m_listener, SOMAXCONN) != 0)
        return false;
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
    // stop() is ignored until the accept loop runs, so wait for it before handing out the port.
    const auto deadline = std::chrono::steady_clock::now() + startLimit;
    while (!m_server->is_running()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void LocalHttpServer::stop()
{
    if (!m_thread.joinable())
        return;
    const auto deadline = std::chrono::steady_clock::now() + startLimit;
    while (!m_server->is_running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    m_server->stop();
    m_thread.join();
}

} // namespace dorvane::test
