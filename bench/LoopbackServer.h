// The benchmarks' HTTP/1.1 peer on 127.0.0.1: one thread running an epoll event loop that serves
// every connection at once, keep-alive, and never holds a large body in memory (bodies are sent
// from one shared 1 MiB piece of 'x' bytes). Hand-written rather than cpp-httplib, whose thread
// pool serves a handful of connections at a time: the server must never set the pace.
//
//   LoopbackServer server;                         // listening once Port() is non-zero
//   // GET /big             BigBodySize bytes, Content-Length announced
//   // GET /chunked         BigBodySize bytes, chunked in 1 MiB chunks
//   // GET /length/N        N bytes, Content-Length announced
//   // GET /chunked/N       N bytes, chunked
//   // GET anything else    "ok"
//   LoopbackServer::Usage used = server.Used();    // its own CPU time and responses so far
//
// Its own rate for a piece of work is the responses (or bytes) of that work over the CPU time the
// loop spent on it: beside a client's rate it shows whether the server could have gone faster.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <thread>

class LoopbackServer {
public:
    static constexpr std::size_t BigBodySize = std::size_t{256} << 20;
    static constexpr std::size_t PieceSize = std::size_t{1} << 20;
    static constexpr const char* SmallBody = "ok";
    static constexpr std::chrono::milliseconds TrickleInterval{100};

    struct Usage {
        double cpuSeconds = 0;         // the event loop thread's CPU time
        std::uint64_t responses = 0;   // responses sent whole
        std::uint64_t connections = 0; // connections accepted
    };

    LoopbackServer();
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // 0 when the server could not listen.
    int Port() const { return m_port; }
    Usage Used() const;

private:
    void Loop();

    int m_listener = -1;
    int m_epoll = -1;
    int m_wake = -1; // an eventfd: written once to end the loop
    int m_port = 0;
    clockid_t m_loopClock = CLOCK_THREAD_CPUTIME_ID;
    std::atomic<bool> m_clockReady{false};
    std::atomic<std::uint64_t> m_responses{0};
    std::atomic<std::uint64_t> m_connections{0};
    std::thread m_thread;
};
