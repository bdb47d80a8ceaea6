// A tiny TCP server on 127.0.0.1:0 that plays a fixed script on each connection and records the
// exact bytes it received, for what a well-behaved HTTP server never does (bad framing, resets,
// stalls, replies split at awkward points, a port that accepts nothing).
//
//   ScriptedServer server({Step::readRequest(), Step::send("HTTP/1.1 200 OK\r\n..."), Step::close()});
//   ... connect to 127.0.0.1:server.port() ...
//   EXPECT_EQ(server.received(0), "GET / HTTP/1.1\r\n...");
//
// Each connection runs its script on its own thread. With several scripts, connection i plays
// script i (the last one again for later connections). With a router, each request chooses what
// follows it, and a connection whose steps end without a close reads the next request. The
// destructor ends every stall and joins all threads.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dorvane::test {

struct Step {
    enum class Kind {
        ReadRequest, // read one request: the head up to the empty line and a Content-Length body
        Send,        // write bytes, in pieces cut at the given offsets, with a pause between pieces
        Stall,       // do nothing for a while (ends early when the server stops)
        Close,       // orderly close
        Reset,       // abortive close (SO_LINGER 0): the peer sees a reset
        Repeat,      // start the script again from its first step
    };
    Kind kind = Kind::Close;
    std::string bytes;
    std::vector<std::size_t> splitAt;
    std::chrono::milliseconds pause{0};

    static Step readRequest() { return {Kind::ReadRequest, {}, {}, {}}; }
    static Step send(std::string bytes, std::vector<std::size_t> splitAt = {},
                     std::chrono::milliseconds gap = std::chrono::milliseconds(5))
    {
        return {Kind::Send, std::move(bytes), std::move(splitAt), gap};
    }
    static Step stall(std::chrono::milliseconds duration) { return {Kind::Stall, {}, {}, duration}; }
    static Step close() { return {Kind::Close, {}, {}, {}}; }
    static Step reset() { return {Kind::Reset, {}, {}, {}}; }
    static Step repeat() { return {Kind::Repeat, {}, {}, {}}; }
};

using Script = std::vector<Step>;
// Given one whole request as received (head and Content-Length body), the steps that answer it.
using Router = std::function<Script(const std::string& request)>;

// A plain HTTP response with a Content-Length body, for scripts.
std::string httpResponse(int status, const std::string& body, const std::string& extraHeaders = {});

class ScriptedServer {
public:
    enum class Mode {
        Serve,        // accept and play the scripts
        AcceptNothing // listen with a full backlog and never accept: connects time out
    };
    enum class Address { IPv4, IPv6 }; // 127.0.0.1 or ::1

    explicit ScriptedServer(Script script, Address address = Address::IPv4);
    explicit ScriptedServer(std::vector<Script> scripts, Mode mode = Mode::Serve, Address address = Address::IPv4);
    explicit ScriptedServer(Router router);
    // Whether this machine has an IPv6 loopback to listen on.
    static bool HasIPv6Loopback();

    // False when the server could not listen.
    bool listening() const { return m_listener >= 0; }
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return m_port; }
    // Connections accepted so far.
    int connectionCount() const;
    // The bytes received on connection i so far (empty for a connection not yet seen).
    std::string received(std::size_t connection) const;
    // Waits (bounded) until n connections have finished their scripts.
    bool waitForFinished(int connections, std::chrono::milliseconds limit = std::chrono::seconds(5)) const;
    void stop();

private:
    void acceptLoop();
    void serve(int socket, std::size_t index);
    void route(int socket, std::size_t index);
    bool runStep(int socket, std::size_t index, const Step& step);
    bool readRequest(int socket, std::size_t index, std::string* request = nullptr);
    bool sendAll(int socket, const char* data, std::size_t size);
    bool waitStopped(std::chrono::milliseconds duration);

    std::vector<Script> m_scripts;
    Router m_router; // when set, it chooses the steps after each request instead of m_scripts
    int m_listener = -1;
    int m_port = -1;
    std::vector<int> m_backlogFillers;
    std::thread m_acceptThread;
    std::vector<std::thread> m_connectionThreads;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<std::string> m_received;
    std::vector<int> m_sockets;
    int m_finished = 0;
    bool m_stopping = false;
};

} // namespace dorvane::test
