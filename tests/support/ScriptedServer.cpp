#include "ScriptedServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace dorvane::test {

namespace {

// A request head larger than this is not something a test sends; stop reading there.
constexpr std::size_t requestLimit = 1 << 20;

int openListener(int backlog, int& port, bool ipv6 = false)
{
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (ipv6) {
        auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
        address->sin6_family = AF_INET6;
        address->sin6_addr = in6addr_loopback;
        length = sizeof *address;
    } else {
        auto* address = reinterpret_cast<sockaddr_in*>(&storage);
        address->sin_family = AF_INET;
        address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *address;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(fd, backlog) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ipv6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port)
                : ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
    return fd;
}

int connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

std::size_t contentLength(const std::string& head)
{
    std::string lower(head);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    const auto at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos)
        return 0;
    return std::strtoul(lower.c_str() + at + 17, nullptr, 10);
}

} // namespace

std::string httpResponse(int status, const std::string& body, const std::string& extraHeaders)
{
    return "HTTP/1.1 " + std::to_string(status) + " Status\r\nContent-Length: " + std::to_string(body.size())
        + "\r\n" + extraHeaders + "\r\n" + body;
}

ScriptedServer::ScriptedServer(Script script, Address address)
    : ScriptedServer(std::vector<Script>{std::move(script)}, Mode::Serve, address)
{
}

bool ScriptedServer::HasIPv6Loopback()
{
    int port = 0;
    const int fd = openListener(1, port, true);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

ScriptedServer::ScriptedServer(std::vector<Script> scripts, Mode mode, Address address)
    : m_scripts(std::move(scripts))
{
    if (address == Address::IPv6) {
        m_listener = openListener(16, m_port, true);
        if (m_listener >= 0)
            m_acceptThread = std::thread([this] { acceptLoop(); });
        return;
    }
    if (mode == Mode::AcceptNothing) {
        // A backlog of 0 holds one finished handshake; once it is taken by our own filler
        // connections, the kernel drops further SYNs and a client's connect times out.
        m_listener = openListener(0, m_port);
        for (int i = 0; i < 3; ++i)
            m_backlogFillers.push_back(connectTo(m_port));
        return;
    }
    m_listener = openListener(16, m_port);
    if (m_listener >= 0)
        m_acceptThread = std::thread([this] { acceptLoop(); });
}

ScriptedServer::ScriptedServer(Router router)
    : m_router(std::move(router))
{
    m_listener = openListener(16, m_port);
    if (m_listener >= 0)
        m_acceptThread = std::thread([this] { acceptLoop(); });
}

ScriptedServer::~ScriptedServer()
{
    stop();
    for (int fd : m_backlogFillers)
        ::close(fd);
    if (m_listener >= 0)
        ::close(m_listener);
}

void ScriptedServer::stop()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping)
            return;
        m_stopping = true;
        for (int fd : m_sockets)
            ::shutdown(fd, SHUT_RDWR);
    }
    m_changed.notify_all();
    if (m_listener >= 0)
        ::shutdown(m_listener, SHUT_RDWR);
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    for (auto& thread : m_connectionThreads)
        thread.join();
    m_connectionThreads.clear();
}

int ScriptedServer::connectionCount() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_received.size());
}

std::string ScriptedServer::received(std::size_t connection) const
{
    std::lock_guard lock(m_mutex);
    return connection < m_received.size() ? m_received[connection] : std::string();
}

bool ScriptedServer::waitForFinished(int connections, std::chrono::milliseconds limit) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] { return m_finished >= connections; });
}

void ScriptedServer::acceptLoop()
{
    for (;;) {
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        std::lock_guard lock(m_mutex);
        if (m_stopping) {
            ::close(fd);
            return;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const std::size_t index = m_received.size();
        m_received.emplace_back();
        m_sockets.push_back(fd);
        m_connectionThreads.emplace_back([this, fd, index] { serve(fd, index); });
    }
}

void ScriptedServer::serve(int socket, std::size_t index)
{
    if (m_router) {
        route(socket, index);
    } else {
        const Script& script = m_scripts.empty() ? Script{} : m_scripts[std::min(index, m_scripts.size() - 1)];
        bool open = true;
        for (std::size_t i = 0; open && i < script.size(); ++i) {
            if (script[i].kind == Step::Kind::Repeat) {
                i = static_cast<std::size_t>(-1);
                continue;
            }
            open = runStep(socket, index, script[i]);
        }
    }
    std::lock_guard lock(m_mutex);
    // Forget the descriptor before closing it, so stop() never shuts down a reused number.
    m_sockets.erase(std::find(m_sockets.begin(), m_sockets.end(), socket));
    ::close(socket);
    ++m_finished;
    m_changed.notify_all();
}

// Each request, then the steps its router chooses, until a step closes the connection or the
// peer goes away. A Repeat step means nothing here: the next request decides.
void ScriptedServer::route(int socket, std::size_t index)
{
    std::string request;
    while (readRequest(socket, index, &request)) {
        for (const Step& step : m_router(request)) {
            if (step.kind != Step::Kind::Repeat && !runStep(socket, index, step))
                return;
        }
    }
}

// Returns false when the connection is to be closed (by the script or because the peer went away).
bool ScriptedServer::runStep(int socket, std::size_t index, const Step& step)
{
    switch (step.kind) {
    case Step::Kind::ReadRequest:
        if (readRequest(socket, index))
            return true;
        break;
    case Step::Kind::Send: {
        std::size_t from = 0;
        for (std::size_t cut : step.splitAt) {
            cut = std::min(cut, step.bytes.size());
            if (cut <= from)
                continue;
            if (!sendAll(socket, step.bytes.data() + from, cut - from) || waitStopped(step.pause))
                break;
            from = cut;
        }
        if (sendAll(socket, step.bytes.data() + from, step.bytes.size() - from))
            return true;
        break;
    }
    case Step::Kind::Stall:
        if (!waitStopped(step.pause))
            return true;
        break;
    case Step::Kind::Reset: {
        const linger abort{1, 0};
        ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        break;
    }
    case Step::Kind::Close:
    case Step::Kind::Repeat:
        break;
    }
    return false;
}

bool ScriptedServer::readRequest(int socket, std::size_t index, std::string* whole)
{
    std::string request;
    char buffer[4096];
    std::size_t headEnd = std::string::npos;
    std::size_t wanted = 0;
    while (request.size() < requestLimit) {
        if (headEnd == std::string::npos) {
            headEnd = request.find("\r\n\r\n");
            if (headEnd != std::string::npos)
                wanted = headEnd + 4 + contentLength(request.substr(0, headEnd + 2));
        }
        if (headEnd != std::string::npos && request.size() >= wanted) {
            if (whole != nullptr)
                *whole = std::move(request);
            return true;
        }
        const ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
        if (got <= 0)
            return false;
        request.append(buffer, static_cast<std::size_t>(got));
        std::lock_guard lock(m_mutex);
        m_received[index].append(buffer, static_cast<std::size_t>(got));
    }
    return false;
}

bool ScriptedServer::sendAll(int socket, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t sent = ::send(socket, data, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

// True when the server is stopping.
bool ScriptedServer::waitStopped(std::chrono::milliseconds duration)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, duration, [this] { return m_stopping; });
}

} // namespace dorvane::test
