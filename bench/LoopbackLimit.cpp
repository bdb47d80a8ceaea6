#include "LoopbackLimit.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace LoopbackLimit {
namespace {

// A head longer than this is not the benchmark server's.
constexpr std::size_t HeadLimit = 16384;
// A server that stops sending fails the round instead of hanging it.
constexpr long ReceiveLimitSeconds = 60;

class Socket {
public:
    Socket() : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~Socket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int Fd() const { return m_fd; }

private:
    int m_fd;
};

struct Free {
    void operator()(char* memory) const { std::free(memory); }
};

[[nodiscard]] bool Connect(const Socket& socket, int port)
{
    if (socket.Fd() < 0)
        return false;
    const timeval limit{ReceiveLimitSeconds, 0};
    ::setsockopt(socket.Fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return ::connect(socket.Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

[[nodiscard]] bool SendAll(const Socket& socket, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t sent = ::send(socket.Fd(), data.data(), data.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

// recv() that retries when a signal interrupts it; 0 at the end of the stream, -1 on failure.
ssize_t Receive(const Socket& socket, char* into, std::size_t size)
{
    for (;;) {
        const ssize_t got = ::recv(socket.Fd(), into, size, 0);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

// The announced length of a 200 answer's head (which ends with its blank line); -1 for anything else.
long long AnnouncedLength(std::string_view head)
{
    if (head.substr(0, 13) != "HTTP/1.1 200 ")
        return -1;
    constexpr std::string_view name = "\r\ncontent-length:";
    for (std::size_t at = head.find("\r\n"); at != std::string_view::npos; at = head.find("\r\n", at + 2)) {
        if (head.size() - at > name.size() && ::strncasecmp(head.data() + at, name.data(), name.size()) == 0)
            return std::strtoll(head.data() + at + name.size(), nullptr, 10);
    }
    return -1;
}

} // namespace

bool KeepBody(int port, const std::string& path, std::uint64_t expectedSize)
{
    const Socket socket;
    if (!Connect(socket, port) || !SendAll(socket, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"))
        return false;

    // The head, and whatever part of the body came with it.
    char head[HeadLimit];
    std::size_t headRead = 0;
    std::size_t headEnd = std::string_view::npos;
    while (headEnd == std::string_view::npos) {
        if (headRead == sizeof head)
            return false;
        const ssize_t got = Receive(socket, head + headRead, sizeof head - headRead);
        if (got <= 0)
            return false;
        headRead += static_cast<std::size_t>(got);
        headEnd = std::string_view(head, headRead).find("\r\n\r\n");
    }
    headEnd += 4;
    const long long announced = AnnouncedLength(std::string_view(head, headEnd));
    if (announced < 0 || static_cast<std::uint64_t>(announced) != expectedSize || headRead - headEnd > expectedSize)
        return false;
    const auto size = static_cast<std::size_t>(announced);

    // The body, straight into one fresh block of its length.
    const std::unique_ptr<char, Free> body(static_cast<char*>(std::malloc(size == 0 ? 1 : size)));
    if (!body)
        return false;
    std::size_t done = headRead - headEnd;
    std::memcpy(body.get(), head + headEnd, done);
    while (done < size) {
        const ssize_t got = Receive(socket, body.get() + done, size - done);
        if (got <= 0)
            return false;
        done += static_cast<std::size_t>(got);
    }
    // Keeps the compiler from dropping the block, and checks both ends of what arrived.
    asm volatile("" : : "r"(body.get()) : "memory");
    return size == 0 || (body.get()[0] == 'x' && body.get()[size - 1] == 'x');
}

} // namespace LoopbackLimit
