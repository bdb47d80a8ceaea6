// HTTP responses made of fuzzer bytes (status line, headers, chunked framing, early close),
// served by a loopback peer and read through the Internet client operations as the component
// reads them: status, raw headers into a small and a large buffer, the body in 16384-byte reads.
// Whatever arrives, every call returns (no hang past the time-outs), nothing is read or written
// out of bounds, and a body read reports no more than it was offered.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "FuzzInput.h"
#include "wininet.h"

namespace {

// Answers one connection with the given bytes, after reading the request head, then closes.
class OneShotPeer {
public:
    OneShotPeer()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(m_listener, 8) != 0)
            std::abort();
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    int Port() const { return m_port; }

    std::thread Serve(std::string response, std::size_t split)
    {
        return std::thread([this, response = std::move(response), split] {
            pollfd waiting{m_listener, POLLIN, 0};
            if (::poll(&waiting, 1, 5000) != 1)
                return; // the client never came
            const int fd = ::accept(m_listener, nullptr, nullptr);
            if (fd < 0)
                return;
            std::string head;
            char buffer[2048];
            while (head.find("\r\n\r\n") == std::string::npos) {
                const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
                if (got <= 0)
                    break;
                head.append(buffer, static_cast<std::size_t>(got));
            }
            const std::size_t first = std::min(split, response.size());
            ::send(fd, response.data(), first, MSG_NOSIGNAL);
            ::send(fd, response.data() + first, response.size() - first, MSG_NOSIGNAL);
            // Close at once: the client may keep an idle connection open for reuse.
            ::shutdown(fd, SHUT_WR);
            ::close(fd);
        });
    }

private:
    int m_listener = -1;
    int m_port = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static OneShotPeer peer;
    static HINTERNET internet = InternetOpenA("fuzz", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    if (internet == nullptr)
        std::abort();

    FuzzInput input(data, size);
    const std::size_t split = input.TakeU32() % 512;
    const DWORD headerBuffer = input.TakeU32() % 256;
    std::thread server = peer.Serve(input.TakeRest(), split);

    HINTERNET connection = InternetConnectA(internet, "127.0.0.1", static_cast<INTERNET_PORT>(peer.Port()), nullptr,
                                            nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    HINTERNET request = HttpOpenRequestA(connection, "GET", "/", nullptr, nullptr, nullptr,
                                         INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_AUTH, 0);
    DWORD timeout = 2000;
    InternetSetOptionA(connection, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof timeout);
    if (request != nullptr && HttpSendRequestA(request, nullptr, 0, nullptr, 0)) {
        DWORD status = 0, length = sizeof status;
        (void)HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length, nullptr);
        std::vector<char> small(headerBuffer + 1, '\x7f');
        length = headerBuffer;
        if (HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS_CRLF, small.data(), &length, nullptr) &&
            length >= headerBuffer && headerBuffer > 0)
            std::abort();
        if (small[headerBuffer] != '\x7f')
            std::abort();
        std::vector<char> headers(8192);
        length = 8192;
        (void)HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS_CRLF, headers.data(), &length, nullptr);
        std::vector<char> chunk(16385);
        for (int reads = 0; reads < 4096; ++reads) {
            DWORD count = 0;
            if (!InternetReadFile(request, chunk.data(), 16384, &count) || count == 0)
                break;
            if (count > 16384)
                std::abort();
        }
    }
    if (request != nullptr)
        InternetCloseHandle(request);
    if (connection != nullptr)
        InternetCloseHandle(connection);
    server.join();
    return 0;
}
