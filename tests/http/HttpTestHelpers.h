// Helpers shared by the component's tests: a port that refuses connections, and waiting on a
// condition while the test thread's event loop runs (events of windowed components arrive
// through it).
#pragma once

#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>

namespace httptest {

// A loopback port nobody listens on: bound, then closed.
inline int RefusedPort()
{
    int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(socket);
    return ntohs(address.sin_port);
}

// Runs the event loop until the condition holds or the limit passes.
inline bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    return QTest::qWaitFor(condition, static_cast<int>(limit.count()));
}

} // namespace httptest
