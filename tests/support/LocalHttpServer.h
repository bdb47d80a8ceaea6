// An in-process HTTP server on 127.0.0.1 with a port chosen by the system, for tests.
//
//   LocalHttpServer http;
//   http.server().Get("/hello", [](const httplib::Request&, httplib::Response& res) {
//       res.set_content("hi", "text/plain");
//   });
//   ASSERT_TRUE(http.start());
//   ... connect to 127.0.0.1:http.port() ...
//
// Handlers are registered before start(). The destructor stops the server and joins its thread.
// The listening socket takes every connection of a burst (the library listens with a backlog of
// 5, and a connection past it waits for the client's retransmission, a second or more), unless
// the test sets socket options of its own.
#pragma once

#include <httplib.h>

#include <memory>
#include <thread>

namespace dorvane::test {

class LocalHttpServer {
public:
    LocalHttpServer();
    // For a TLS server: pass a ready httplib::SSLServer.
    explicit LocalHttpServer(std::unique_ptr<httplib::Server> server);
    ~LocalHttpServer();
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    httplib::Server& server() { return *m_server; }
    // Binds to 127.0.0.1:0, runs the accept loop on a thread and waits (bounded) until it
    // accepts. False when binding failed or the loop never came up.
    [[nodiscard]] bool start();
    void stop();
    int port() const { return m_port; }

private:
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    int m_port = -1;
    int m_listener = -1; // seen by the default socket options
};

} // namespace dorvane::test
