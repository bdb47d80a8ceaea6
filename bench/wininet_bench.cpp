// Loopback benchmark of the Internet client against raw libcurl in the same run:
//  1. a 256 MiB body read through InternetReadFile in 16384-byte reads (throughput, and the peak
//     resident memory above the level before the run);
//  2. 2000 sequential small GETs over one Internet handle (requests per second, connection reuse).
// Targets: 1. at least 0.9 of raw libcurl's throughput and under 32 MiB above the start;
//          2. at least 0.8 of raw libcurl's request rate.
#include <curl/curl.h>
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

#include "LoopbackServer.h"
#include "errhandlingapi.h"
#include "wininet.h"

namespace {

constexpr std::size_t bigBody = LoopbackServer::BigBodySize;
constexpr DWORD readSize = 16384;
constexpr int smallRequests = 2000;
constexpr int rounds = 3;

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
            const bool good = wininetGet(internet, server.Port(), "/big", buffer, total) && total == bigBody;
            InternetCloseHandle(internet);
            return good;
        });
        const Measure raw = measure([&] {
            CURL* easy = curl_easy_init();
            const bool good = curlGet(easy, server.Port(), "/big", buffer);
            curl_easy_cleanup(easy);
            return good;
        });
        // For comparison only: raw libcurl with the layer's larger socket reads.
        const Measure rawLarge = measure([&] {
            CURL* easy = curl_easy_init();
            const bool good = curlGet(easy, server.Port(), "/big", buffer, 256 << 10);
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
                good = wininetGet(internet, server.Port(), "/small", buffer, total) && total == 2;
            }
            InternetCloseHandle(internet);
            return good;
        });
        const Measure rawSmall = measure([&] {
            CURL* easy = curl_easy_init();
            bool good = true;
            for (int i = 0; i < smallRequests && good; ++i)
                good = curlGet(easy, server.Port(), "/small", buffer);
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
