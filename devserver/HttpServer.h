#pragma once
// A small HTTP/1.1 server on one event loop: a slow, silent or greedy peer costs one connection,
// never the service.
//
//   HttpServer server(limits,
//                     [](const HttpRequest& request, Responder respond) { respond({200, "hi"}); },
//                     [](const HttpRequest& request, const HttpReply& reply) { ... });
//   const int port = server.bind("127.0.0.1", 0);
//   std::thread loop([&] { (void)server.serve(); });
//   ... server.stop(); loop.join();
//
// One thread runs every socket (Boost.Beast over Asio). A connection that receives nothing for
// Limits::idleTimeout is closed (a fresh one, a kept-alive one between requests, and one that
// stops half-way through a request alike), and so is one whose request, head and body, hasn't
// arrived whole within Limits::requestDeadline of its first byte; an answer that the peer doesn't
// take within Limits::writeDeadline closes the connection. Past Limits::maxConnections a new
// connection is answered 503 and closed at once, never queued. stop() ends serve() at once,
// whatever the peers are doing. Handlers run on a small pool of worker threads and answer through
// their Responder, there or later from any thread, so a handler hands slow work (a password hash)
// elsewhere rather than hold a worker. A request that says "Expect: 100-continue" gets
// "100 Continue" before its body is read; an answer to HEAD carries no body.
//
// Why Beast here and cpp-httplib elsewhere: the service must hold thousands of idle or dribbling
// peers, which takes deadlines per request rather than per receive, and an event loop rather than
// a thread per connection; cpp-httplib offers neither, while Beast's streams carry absolute
// deadlines and Asio's loop holds any number of sockets. The tests keep cpp-httplib as their
// client and for their own servers, where a thread per connection is what a test wants, and the
// wizard keeps libcurl: one library per role.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace dorvane::devserver {

struct HttpRequest {
    std::string method;
    std::string target; // as sent: path and query, still percent-encoded
};

// Always text/plain.
struct HttpReply {
    int status = 200;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers; // sent besides the usual ones
    std::string logNote; // why, for the request's log line only (a storage error); never sent
};

// Answers one request: call it once, from any thread, at once or later; later calls do nothing.
// When the last copy goes without an answer, the connection is closed.
class Responder {
public:
    void operator()(HttpReply reply) const;

private:
    friend class HttpServer;
    struct Pending;
    explicit Responder(std::shared_ptr<Pending> pending);
    std::shared_ptr<Pending> m_pending;
};

class HttpServer {
public:
    struct Limits {
        std::size_t maxConnections = 4096;
        std::chrono::milliseconds idleTimeout {5000};
        std::chrono::milliseconds requestDeadline {10000};
        std::chrono::milliseconds writeDeadline {10000};
        std::size_t maxHeadBytes = 8192;
        std::size_t maxBodyBytes = 4096;
        unsigned workerThreads = 4;
    };
    // Runs on a worker thread, possibly on several at once.
    using Handler = std::function<void(const HttpRequest&, Responder)>;
    // Runs on the loop thread as the answer is sent; also for requests refused as malformed
    // (their method and target are "-" when they never arrived).
    using RequestLog = std::function<void(const HttpRequest&, const HttpReply&)>;
    // Runs on the loop thread for events worth a line of their own (the connection limit reached).
    using Notice = std::function<void(const std::string&)>;

    HttpServer(Limits limits, Handler handler, RequestLog log, Notice notice);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and listens on host:port; port 0 picks a free one. The bound port, or -1.
    [[nodiscard]] int bind(const std::string& host, int port);
    // Serves until stop(); once only. False when not bound. Every connection is closed when it
    // returns.
    [[nodiscard]] bool serve();
    [[nodiscard]] bool isRunning() const;
    // Thread-safe and final: serve() returns at once, or at once when it is called later.
    void stop();

private:
    friend class Responder;
    struct Impl;
    class Session;
    std::unique_ptr<Impl> m_impl;
};

} // namespace dorvane::devserver
