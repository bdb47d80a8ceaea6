// Loopback benchmark of the Internet client against raw libcurl in the same run:
//  1. a 256 MiB body read through InternetReadFile in 16384-byte reads (throughput, and the peak
//     resident memory above the level before the run);
//  2. 2000 sequential small GETs over one Internet handle (requests per second, connection reuse).
// Targets: 1. at least 0.9 of raw libcurl's throughput and under 32 MiB above the start;
//          2. at least 0.8 of raw libcurl's request rate.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "errhandlingapi.h"
#include "wininet.h"

namespace {

constexpr std::size_t bigBody = 256u << 20;
constexpr DWORD readSize = 16384;
constexpr int smallRequests = 2000;
constexpr int rounds = 3;

// A minimal keep-alive HTTP server: "/big" answers 256 MiB, anything else two bytes.
class LoopbackServer {
public:
    LoopbackServer()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(m_listener, 16);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { acceptLoop(); });
    }
    ~LoopbackServer()
    {
        ::shutdown(m_listener, SHUT_RDWR);
        m_thread.join();
        ::close(m_listener);
    }
    int port() const { return m_port; }

private:
    void acceptLoop()
    {
        std::vector<std::thread> connections;
        for (;;) {
            const int fd = ::accept(m_listener, nullptr, nullptr);
            if (fd < 0)
                break;
            connections.emplace_back([fd] { serve(fd); });
        }
        for (auto& connection : connections)
            connection.join();
    }
    static void serve(int fd)
    {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        static const std::string chunk(1 << 20, 'x');
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
            const std::size_t size = big ? bigBody : 2;
            const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
            if (!sendAll(fd, head.data(), head.size()))
                break;
            for (std::size_t sent = 0; sent < size;) {
                const std::size_t piece = std::min(chunk.size(), size - sent);
                if (!sendAll(fd, chunk.data(), piece))
                    break;
                sent += piece;
            }
        }
        ::close(fd);
    }
    static bool sendAll(int fd, const char* data, std::size_t size)
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

long statusKiB(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0)
            return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
    }
    return 0;
}

void resetPeak()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

struct Measure {
    double seconds = 0;
    long peakAboveStartKiB = 0;
    bool ok = false;
};

template <class Work>
Measure measure(Work work)
{
    resetPeak();
    const long start = statusKiB("VmRSS:");
    const auto begin = std::chrono::steady_clock::now();
    Measure result;
    result.ok = work();
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    result.peakAboveStartKiB = statusKiB("VmHWM:") - start;
    return result;
}

bool wininetGet(HINTERNET internet, int port, const char* path, std::vector<char>& buffer, std::size_t& total)
{
    HINTERNET connection = InternetConnectA(internet, "127.0.0.1", static_cast<INTERNET_PORT>(port), nullptr,
                                            nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    HINTERNET request = HttpOpenRequestA(connection, "GET", path, nullptr, nullptr, nullptr, 0, 0);
    bool ok = HttpSendRequestA(request, nullptr, 0, nullptr, 0);
    total = 0;
    while (ok) {
        DWORD count = 0;
        ok = InternetReadFile(request, buffer.data(), readSize, &count);
        if (count == 0)
            break;
        total += count;
    }
    InternetCloseHandle(request);
    InternetCloseHandle(connection);
    return ok;
}

size_t copyOut(char* data, size_t size, size_t count, void* user)
{
    auto* sink = static_cast<std::vector<char>*>(user);
    const std::size_t bytes = size * count;
    // The same work as the reader above: each piece copied into a 16 KiB buffer.
    std::memcpy(sink->data(), data, std::min<std::size_t>(bytes, sink->size()));
    return bytes;
}

bool curlGet(CURL* easy, int port, const char* path, std::vector<char>& buffer, long receiveBuffer = 0)
{
    if (receiveBuffer > 0)
        curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, receiveBuffer);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + path;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, copyOut);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &buffer);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    return curl_easy_perform(easy) == CURLE_OK;
}

} // namespace

int main()
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    LoopbackServer server;
    std::vector<char> buffer(readSize);
    double bestLayer = 1e9, bestRaw = 1e9, bestRawLarge = 1e9, bestLayerSmall = 1e9, bestRawSmall = 1e9;
    long peakLayer = 0, peakRaw = 0;
    bool ok = true;

    for (int round = 0; round < rounds; ++round) {
        const Measure layer = measure([&] {
            HINTERNET internet = InternetOpenA("bench", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
            std::size_t total = 0;
            const bool good = wininetGet(internet, server.port(), "/big", buffer, total) && total == bigBody;
            InternetCloseHandle(internet);
            return good;
        });
        const Measure raw = measure([&] {
            CURL* easy = curl_easy_init();
            const bool good = curlGet(easy, server.port(), "/big", buffer);
            curl_easy_cleanup(easy);
            return good;
        });
        // For comparison only: raw libcurl with the layer's larger socket reads.
        const Measure rawLarge = measure([&] {
            CURL* easy = curl_easy_init();
            const bool good = curlGet(easy, server.port(), "/big", buffer, 256 << 10);
            curl_easy_cleanup(easy);
            return good;
        });
        ok = ok && layer.ok && raw.ok && rawLarge.ok;
        bestRawLarge = std::min(bestRawLarge, rawLarge.seconds);
        bestLayer = std::min(bestLayer, layer.seconds);
        bestRaw = std::min(bestRaw, raw.seconds);
        peakLayer = std::max(peakLayer, layer.peakAboveStartKiB);
        peakRaw = std::max(peakRaw, raw.peakAboveStartKiB);

        const Measure layerSmall = measure([&] {
            HINTERNET internet = InternetOpenA("bench", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
            bool good = true;
            for (int i = 0; i < smallRequests && good; ++i) {
                std::size_t total = 0;
                good = wininetGet(internet, server.port(), "/small", buffer, total) && total == 2;
            }
            InternetCloseHandle(internet);
            return good;
        });
        const Measure rawSmall = measure([&] {
            CURL* easy = curl_easy_init();
            bool good = true;
            for (int i = 0; i < smallRequests && good; ++i)
                good = curlGet(easy, server.port(), "/small", buffer);
            curl_easy_cleanup(easy);
            return good;
        });
        ok = ok && layerSmall.ok && rawSmall.ok;
        bestLayerSmall = std::min(bestLayerSmall, layerSmall.seconds);
        bestRawSmall = std::min(bestRawSmall, rawSmall.seconds);
    }

    const double mib = static_cast<double>(bigBody) / (1 << 20);
    const double layerRate = mib / bestLayer, rawRate = mib / bestRaw;
    const double layerRequests = smallRequests / bestLayerSmall, rawRequests = smallRequests / bestRawSmall;
    std::printf("256 MiB body, 16384-byte reads (best of %d):\n", rounds);
    std::printf("  InternetReadFile  %8.1f MiB/s   peak RSS above start %6.1f MiB\n", layerRate, peakLayer / 1024.0);
    std::printf("  raw libcurl       %8.1f MiB/s   peak RSS above start %6.1f MiB\n", rawRate, peakRaw / 1024.0);
    std::printf("  raw libcurl, 256 KiB socket reads as the layer uses: %8.1f MiB/s (ratio %.2f)\n", mib / bestRawLarge,
                layerRate / (mib / bestRawLarge));
    std::printf("  ratio %.2f (target >= 0.90), memory target < 32 MiB\n", layerRate / rawRate);
    std::printf("%d sequential small GETs over one handle (best of %d):\n", smallRequests, rounds);
    std::printf("  Internet handle   %8.0f requests/s\n", layerRequests);
    std::printf("  raw libcurl reuse %8.0f requests/s\n", rawRequests);
    std::printf("  ratio %.2f (target >= 0.80)\n", layerRequests / rawRequests);
    const bool met = ok && layerRate >= 0.9 * rawRate && peakLayer < 32 * 1024 && layerRequests >= 0.8 * rawRequests;
    std::printf("%s\n", !ok ? "FAILED: a transfer went wrong" : met ? "targets met" : "targets NOT met");
    curl_global_cleanup();
    return ok ? 0 : 1;
}
