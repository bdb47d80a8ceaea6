#include "LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

const std::string& Piece()
{
    static const std::string piece(LoopbackServer::PieceSize, 'x');
    return piece;
}

// One client connection: the request bytes read so far and the response being sent. A response is
// a prefix (the head, or a chunk's framing) followed by data taken from the shared piece.
struct Connection {
    int fd = -1;
    std::string input;
    bool responding = false;
    std::string prefix;
    std::size_t prefixSent = 0;
    std::uint64_t dataLeft = 0;     // bytes of the body (or of the current chunk) still to send
    bool chunked = false;
    std::uint64_t unframed = 0;     // chunked: body bytes not yet given a chunk
    bool lastChunkQueued = false;
    std::uint64_t trickleLeft = 0;  // trickled: body bytes still to send, one at each tick
    bool trickleByteDue = false;    // trickled: the tick came, the next byte may go
    std::optional<Clock::time_point> nextTick; // trickled: the entry this connection has in the timer list
};

// Waiting: a trickled response's next byte is not due yet.
enum class Progress { Done, Blocked, Waiting, Failed };

void QueueNextChunk(Connection& connection)
{
    const std::uint64_t size = std::min<std::uint64_t>(LoopbackServer::PieceSize, connection.unframed);
    connection.unframed -= size;
    char line[32];
    std::snprintf(line, sizeof line, "%llx\r\n", static_cast<unsigned long long>(size));
    connection.prefix += line;
    if (size == 0) {
        connection.prefix += "\r\n";
        connection.lastChunkQueued = true;
    }
    connection.dataLeft = size;
}

// Parses "GET /path HTTP/1.1" far enough to choose the body: its size and whether it is chunked.
void StartResponse(Connection& connection, std::string_view requestLine)
{
    std::string_view path = requestLine.substr(std::min(requestLine.find(' '), requestLine.size()));
    path.remove_prefix(std::min<std::size_t>(1, path.size()));
    path = path.substr(0, path.find(' '));
    std::uint64_t size = 0;
    bool chunked = false;
    bool small = false;
    bool trickled = false;
    const auto sizeAfter = [&](std::string_view prefix) {
        return std::strtoull(std::string(path.substr(prefix.size())).c_str(), nullptr, 10);
    };
    if (path == "/big") {
        size = LoopbackServer::BigBodySize;
    } else if (path == "/chunked") {
        size = LoopbackServer::BigBodySize;
        chunked = true;
    } else if (path.rfind("/length/", 0) == 0) {
        size = sizeAfter("/length/");
    } else if (path.rfind("/chunked/", 0) == 0) {
        size = sizeAfter("/chunked/");
        chunked = true;
    } else if (path.rfind("/trickle/", 0) == 0) {
        size = sizeAfter("/trickle/");
        trickled = true;
    } else {
        small = true;
        size = std::string_view(LoopbackServer::SmallBody).size();
    }
    connection.responding = true;
    connection.prefixSent = 0;
    connection.chunked = chunked;
    connection.lastChunkQueued = false;
    if (chunked) {
        connection.prefix = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
        connection.unframed = size;
        QueueNextChunk(connection);
    } else {
        connection.prefix = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
        if (small)
            connection.prefix += LoopbackServer::SmallBody;
        connection.dataLeft = small || trickled ? 0 : size;
        connection.trickleLeft = trickled ? size : 0;
        connection.trickleByteDue = false;
    }
}

// Sends as much of the response as the socket takes.
Progress SendResponse(Connection& connection)
{
    for (;;) {
        ssize_t sent = 0;
        if (connection.prefixSent < connection.prefix.size()) {
            sent = ::send(connection.fd, connection.prefix.data() + connection.prefixSent,
                          connection.prefix.size() - connection.prefixSent, MSG_NOSIGNAL);
            if (sent > 0)
                connection.prefixSent += static_cast<std::size_t>(sent);
        } else if (connection.dataLeft > 0) {
            const std::size_t count = std::min<std::uint64_t>(Piece().size(), connection.dataLeft);
            sent = ::send(connection.fd, Piece().data(), count, MSG_NOSIGNAL);
            if (sent > 0)
                connection.dataLeft -= static_cast<std::uint64_t>(sent);
        } else if (connection.trickleLeft > 0) {
            if (!connection.trickleByteDue)
                return Progress::Waiting;
            sent = ::send(connection.fd, Piece().data(), 1, MSG_NOSIGNAL);
            if (sent > 0) {
                --connection.trickleLeft;
                connection.trickleByteDue = false;
            }
        } else if (connection.chunked && !connection.lastChunkQueued) {
            connection.prefix = "\r\n";
            connection.prefixSent = 0;
            QueueNextChunk(connection);
            continue;
        } else {
            connection.responding = false;
            return Progress::Done;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return Progress::Blocked;
        if (sent <= 0 && errno != EINTR)
            return Progress::Failed;
    }
}

} // namespace

LoopbackServer::LoopbackServer()
{
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(m_listener, 4096) != 0)
        return;
    ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_epoll < 0 || m_wake < 0)
        return;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = m_listener;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_listener, &event);
    event.data.fd = m_wake;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &event);
    Piece();
    m_thread = std::thread([this] { Loop(); });
    m_port = ntohs(address.sin_port);
}

LoopbackServer::~LoopbackServer()
{
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_wake, &one, sizeof one);
        m_thread.join();
    }
    for (const int fd : {m_listener, m_epoll, m_wake})
        if (fd >= 0)
            ::close(fd);
}

LoopbackServer::Usage LoopbackServer::Used() const
{
    Usage usage;
    timespec cpu{};
    if (m_clockReady.load() && ::clock_gettime(m_loopClock, &cpu) == 0)
        usage.cpuSeconds = static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) / 1e9;
    usage.responses = m_responses.load();
    usage.connections = m_connections.load();
    return usage;
}

void LoopbackServer::Loop()
{
    if (::pthread_getcpuclockid(::pthread_self(), &m_loopClock) == 0)
        m_clockReady.store(true);
    std::map<int, std::unique_ptr<Connection>> connections;
    // The trickled responses' next ticks, earliest first: the loop waits no longer than the first,
    // so one slow response never holds up the others.
    std::set<std::pair<Clock::time_point, int>> ticks;
    const auto watch = [this](Connection& connection, std::uint32_t events) {
        epoll_event event{};
        event.events = events;
        event.data.fd = connection.fd;
        ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, connection.fd, &event);
    };
    const auto drop = [&](int fd) {
        const auto found = connections.find(fd);
        if (found != connections.end() && found->second->nextTick)
            ticks.erase({*found->second->nextTick, fd});
        ::close(fd);
        connections.erase(fd);
    };
    // Answers every whole request in the input, in order, until a response blocks.
    const auto serve = [&](Connection& connection) {
        for (;;) {
            if (connection.responding) {
                const Progress progress = SendResponse(connection);
                if (progress == Progress::Failed)
                    return false;
                if (progress == Progress::Blocked) {
                    watch(connection, EPOLLOUT);
                    return true;
                }
                if (progress == Progress::Waiting) {
                    if (!connection.nextTick) {
                        connection.nextTick = Clock::now() + TrickleInterval;
                        ticks.emplace(*connection.nextTick, connection.fd);
                    }
                    watch(connection, 0); // nothing to read or write until the tick
                    return true;
                }
                m_responses.fetch_add(1, std::memory_order_relaxed);
                watch(connection, EPOLLIN);
            }
            const std::size_t end = connection.input.find("\r\n\r\n");
            if (end == std::string::npos)
                return true;
            StartResponse(connection, std::string_view(connection.input).substr(0, connection.input.find("\r\n")));
            connection.input.erase(0, end + 4);
        }
    };

    // Sends the byte of every trickled response whose tick has come.
    const auto tick = [&] {
        const Clock::time_point now = Clock::now();
        while (!ticks.empty() && ticks.begin()->first <= now) {
            const int fd = ticks.begin()->second;
            ticks.erase(ticks.begin());
            Connection& connection = *connections.at(fd);
            connection.nextTick.reset();
            connection.trickleByteDue = true;
            if (!serve(connection))
                drop(fd);
        }
    };
    const auto untilFirstTick = [&] {
        if (ticks.empty())
            return -1;
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(ticks.begin()->first - Clock::now());
        return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, wait.count()));
    };

    epoll_event events[256];
    for (;;) {
        const int ready = ::epoll_wait(m_epoll, events, 256, untilFirstTick());
        if (ready < 0 && errno != EINTR)
            break;
        for (int i = 0; i < ready; ++i) {
            const int fd = events[i].data.fd;
            if (fd == m_wake) {
                for (auto& [client, connection] : connections)
                    ::close(client);
                return;
            }
            if (fd == m_listener) {
                for (int client; (client = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
                    const int one = 1;
                    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    auto connection = std::make_unique<Connection>();
                    connection->fd = client;
                    epoll_event event{};
                    event.events = EPOLLIN;
                    event.data.fd = client;
                    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, client, &event);
                    connections.emplace(client, std::move(connection));
                    m_connections.fetch_add(1, std::memory_order_relaxed);
                }
                continue;
            }
            const auto found = connections.find(fd);
            if (found == connections.end())
                continue;
            // Reported even while nothing is watched (a trickled response between ticks): the peer
            // is gone, and the event would come back at once until the connection is closed.
            if ((events[i].events & (EPOLLERR | EPOLLHUP)) != 0) {
                drop(fd);
                continue;
            }
            Connection& connection = *found->second;
            bool open = true;
            if (!connection.responding) {
                char buffer[4096];
                const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
                if (got > 0)
                    connection.input.append(buffer, static_cast<std::size_t>(got));
                else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                    open = false;
            }
            if (open)
                open = serve(connection);
            if (!open)
                drop(fd);
        }
        tick();
    }
}
