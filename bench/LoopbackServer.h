// A minimal keep-alive HTTP/1.1 server on 127.0.0.1 for the benchmarks: "GET /big" answers
// BigBodySize bytes, any other request two bytes. Hand-written rather than cpp-httplib so that
// the server costs as little as possible and never holds a large body in memory: the numbers
// measure the client.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class LoopbackServer {
public:
    static constexpr std::size_t BigBodySize = std::size_t{256} << 20;

    LoopbackServer()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(m_listener, 64) != 0)
            return;
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { AcceptLoop(); });
    }
    ~LoopbackServer()
    {
        ::shutdown(m_listener, SHUT_RDWR);
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_listener);
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // 0 when the server could not listen.
    int Port() const { return m_port; }

private:
    void AcceptLoop()
    {
        std::vector<std::thread> connections;
        for (;;) {
            const int fd = ::accept(m_listener, nullptr, nullptr);
            if (fd < 0)
                break;
            connections.emplace_back([fd] { Serve(fd); });
        }
        for (auto& connection : connections)
            connection.join();
    }

    static void Serve(int fd)
    {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        static const std::string piece(std::size_t{1} << 20, 'x');
        std::string pending;
        char buffer[4096];
        for (;;) {
            const std::size_t end = pending.find("\r\n\r\n");
            if (end == std::string::npos) {
                const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
                if (got <= 0)
                    break;
                pending.append(buffer, static_cast<std::size_t>(got));
                continue;
            }
            const bool big = pending.compare(0, 9, "GET /big ") == 0;
            pending.erase(0, end + 4);
            const std::size_t size = big ? BigBodySize : 2;
            const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
            if (!SendAll(fd, head.data(), head.size()))
                break;
            bool sent = true;
            for (std::size_t done = 0; sent && done < size;) {
                const std::size_t count = std::min(piece.size(), size - done);
                sent = SendAll(fd, piece.data(), count);
                done += count;
            }
            if (!sent)
                break;
        }
        ::close(fd);
    }

    static bool SendAll(int fd, const char* data, std::size_t size)
    {
        while (size > 0) {
            const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
            if (sent <= 0)
                return false;
            data += sent;
            size -= static_cast<std::size_t>(sent);
        }
        return true;
    }

    int m_listener = -1;
    int m_port = 0;
    std::thread m_thread;
};
