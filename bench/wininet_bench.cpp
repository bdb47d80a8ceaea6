// The Internet client layer on loopback against raw libcurl in the same run, printed as Markdown
// (medians of interleaved rounds, --rounds, default 5):
//  1. a 256 MiB body read through InternetReadFile in 16384-byte reads, against raw libcurl
//     copying each piece into a 16 KiB buffer, with its default receive buffer and with the
//     layer's 256 KiB one;
//  2. 2000 sequential small GETs over one Internet handle, against raw libcurl reusing one easy
//     handle;
//  3. streaming memory: the peak resident memory above the start while bodies of several sizes
//     (announced and chunked) stream through, which must stay under 32 MiB whatever the size.
// Targets: 1. at least 0.9 of raw libcurl's throughput; 2. at least 0.8 of its request rate;
// 3. under 32 MiB for every size. The server runs in this process (one thread, an event loop
// holding no body), so its memory is part of the start level, not of the peak.
#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "LoopbackServer.h"
#include "wininet.h"

namespace {

using Bench::Cell;
using Bench::Median;
using Bench::Verdict;

constexpr DWORD ReadSize = 16384;
constexpr int SmallRequests = 2000;
constexpr double StreamingLimitMiB = 32;
constexpr std::uint64_t MiB = 1 << 20;

struct Sample {
    double seconds = 0;
    double peakAboveMiB = 0;
    bool ok = false;
};

Sample Measure(const std::function<bool()>& work)
{
    Bench::ResetPeak();
    const double start = Bench::ResidentMiB();
    const double begin = Bench::Now();
    Sample sample;
    sample.ok = work();
    sample.seconds = Bench::Now() - begin;
    sample.peakAboveMiB = Bench::PeakResidentMiB() - start;
    return sample;
}

struct Series {
    std::vector<Sample> samples;
    bool Ok() const
    {
        return !samples.empty() && std::all_of(samples.begin(), samples.end(), [](const Sample& s) { return s.ok; });
    }
    double Seconds() const
    {
        std::vector<double> values;
        for (const Sample& sample : samples)
            values.push_back(sample.seconds);
        return Median(values);
    }
    double PeakAboveMiB() const
    {
        double peak = 0;
        for (const Sample& sample : samples)
            peak = std::max(peak, sample.peakAboveMiB);
        return peak;
    }
};

// One GET through the layer on a connection handle of its own; the body read in 16 KiB pieces
// into one buffer and counted.
bool LayerGet(HINTERNET internet, int port, const std::string& path, std::vector<char>& buffer, std::uint64_t expected)
{
    HINTERNET connection = InternetConnectA(internet, "127.0.0.1", static_cast<INTERNET_PORT>(port), nullptr, nullptr,
                                            INTERNET_SERVICE_HTTP, 0, 0);
    HINTERNET request = HttpOpenRequestA(connection, "GET", path.c_str(), nullptr, nullptr, nullptr, 0, 0);
    bool ok = HttpSendRequestA(request, nullptr, 0, nullptr, 0);
    std::uint64_t total = 0;
    while (ok) {
        DWORD count = 0;
        ok = InternetReadFile(request, buffer.data(), ReadSize, &count);
        if (count == 0)
            break;
        total += count;
    }
    InternetCloseHandle(request);
    InternetCloseHandle(connection);
    return ok && total == expected;
}

bool LayerGets(int port, const std::string& path, int count, std::uint64_t expected)
{
    std::vector<char> buffer(ReadSize);
    HINTERNET internet = InternetOpenA("bench", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    bool ok = internet != nullptr;
    for (int i = 0; i < count && ok; ++i)
        ok = LayerGet(internet, port, path, buffer, expected);
    InternetCloseHandle(internet);
    return ok;
}

std::size_t CopyOut(char* data, std::size_t size, std::size_t count, void* user)
{
    auto* sink = static_cast<std::vector<char>*>(user);
    const std::size_t bytes = size * count;
    // The same work as the reader above: each piece copied into a 16 KiB buffer.
    std::memcpy(sink->data(), data, std::min<std::size_t>(bytes, sink->size()));
    return bytes;
}

bool RawGets(int port, const std::string& path, int count, long receiveBuffer = 0)
{
    std::vector<char> buffer(ReadSize);
    CURL* easy = curl_easy_init();
    if (easy == nullptr)
        return false;
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + path;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, CopyOut);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &buffer);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    if (receiveBuffer > 0)
        curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, receiveBuffer);
    bool ok = true;
    for (int i = 0; i < count && ok; ++i)
        ok = curl_easy_perform(easy) == CURLE_OK;
    curl_easy_cleanup(easy);
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = 5;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));
    curl_global_init(CURL_GLOBAL_DEFAULT);
    LoopbackServer server;
    const int port = server.Port();
    if (port == 0) {
        std::fputs("wininet_bench: the server could not listen\n", stderr);
        return 1;
    }
    std::printf("## Internet client layer against raw libcurl (%s build, in one process)\n\n", BENCH_BUILD);
    std::printf("Load average before: %s.\n\n", Bench::LoadAverage().c_str());

    const std::uint64_t big = LoopbackServer::BigBodySize;
    Series layer, raw, rawLarge, layerSmall, rawSmall;
    struct Stream {
        std::string name, path;
        std::uint64_t size;
        Series series;
    };
    std::vector<Stream> streams = {
        {"64 MiB, announced", "/length/" + std::to_string(64 * MiB), 64 * MiB, {}},
        {"1 GiB, announced", "/length/" + std::to_string(1024 * MiB), 1024 * MiB, {}},
        {"256 MiB, chunked", "/chunked", big, {}},
        {"1 GiB, chunked", "/chunked/" + std::to_string(1024 * MiB), 1024 * MiB, {}},
    };
    for (int round = 0; round < rounds; ++round) {
        layer.samples.push_back(Measure([&] { return LayerGets(port, "/big", 1, big); }));
        raw.samples.push_back(Measure([&] { return RawGets(port, "/big", 1); }));
        rawLarge.samples.push_back(Measure([&] { return RawGets(port, "/big", 1, 256 << 10); }));
        layerSmall.samples.push_back(Measure([&] { return LayerGets(port, "/small", SmallRequests, 2); }));
        rawSmall.samples.push_back(Measure([&] { return RawGets(port, "/small", SmallRequests); }));
        for (Stream& stream : streams)
            stream.series.samples.push_back(Measure([&] { return LayerGets(port, stream.path, 1, stream.size); }));
    }

    const double bodyMiB = static_cast<double>(big) / MiB;
    const auto rate = [](double work, const Series& series) { return series.Ok() ? Cell(work / series.Seconds(), 0) : "failed"; };
    std::printf("### 256 MiB body, 16384-byte reads (medians of %d interleaved rounds)\n\n", rounds);
    std::printf("| client | seconds | MiB/s | ratio of the layer to it | peak memory above start (MiB) |\n|---|---|---|---|---|\n");
    std::printf("| InternetReadFile | %s | %s | - | %s |\n", Cell(layer.Seconds(), 3).c_str(), rate(bodyMiB, layer).c_str(),
                Cell(layer.PeakAboveMiB(), 1).c_str());
    std::printf("| raw libcurl, default receive buffer (yardstick) | %s | %s | %s | %s |\n", Cell(raw.Seconds(), 3).c_str(),
                rate(bodyMiB, raw).c_str(), Cell(raw.Seconds() / layer.Seconds(), 2).c_str(), Cell(raw.PeakAboveMiB(), 1).c_str());
    std::printf("| raw libcurl, 256 KiB receive buffer as the layer uses | %s | %s | %s | %s |\n\n",
                Cell(rawLarge.Seconds(), 3).c_str(), rate(bodyMiB, rawLarge).c_str(),
                Cell(rawLarge.Seconds() / layer.Seconds(), 2).c_str(), Cell(rawLarge.PeakAboveMiB(), 1).c_str());

    std::printf("### %d sequential small GETs over one handle (medians of %d interleaved rounds)\n\n", SmallRequests, rounds);
    std::printf("| client | seconds | requests/s | ratio of the layer to it |\n|---|---|---|---|\n");
    std::printf("| Internet handle | %s | %s | - |\n", Cell(layerSmall.Seconds(), 3).c_str(), rate(SmallRequests, layerSmall).c_str());
    std::printf("| raw libcurl, one easy handle (yardstick) | %s | %s | %s |\n\n", Cell(rawSmall.Seconds(), 3).c_str(),
                rate(SmallRequests, rawSmall).c_str(), Cell(rawSmall.Seconds() / layerSmall.Seconds(), 2).c_str());

    std::printf("### Streaming memory: bodies through InternetReadFile (highest of %d rounds)\n\n", rounds);
    std::printf("| body | MiB/s | peak memory above start (MiB) | under %.0f MiB |\n|---|---|---|---|\n", StreamingLimitMiB);
    bool streamingMet = layer.Ok() && layer.PeakAboveMiB() < StreamingLimitMiB;
    std::printf("| 256 MiB, announced | %s | %s | %s |\n", rate(bodyMiB, layer).c_str(), Cell(layer.PeakAboveMiB(), 1).c_str(),
                Verdict(streamingMet));
    for (const Stream& stream : streams) {
        const bool met = stream.series.Ok() && stream.series.PeakAboveMiB() < StreamingLimitMiB;
        streamingMet = streamingMet && met;
        std::printf("| %s | %s | %s | %s |\n", stream.name.c_str(), rate(static_cast<double>(stream.size) / MiB, stream.series).c_str(),
                    Cell(stream.series.PeakAboveMiB(), 1).c_str(), Verdict(met));
    }

    const double throughput = raw.Seconds() / layer.Seconds();
    const double requests = rawSmall.Seconds() / layerSmall.Seconds();
    std::printf("\n### Targets of the layer (%s build)\n\n| target | figures | verdict |\n|---|---|---|\n", BENCH_BUILD);
    std::printf("| 256 MiB body >= 0.90 of raw libcurl | %.2f (%s against %s MiB/s) | %s |\n", throughput,
                rate(bodyMiB, layer).c_str(), rate(bodyMiB, raw).c_str(), Verdict(layer.Ok() && raw.Ok() && throughput >= 0.9));
    std::printf("| small GETs >= 0.80 of raw libcurl | %.2f (%s against %s requests/s) | %s |\n", requests,
                rate(SmallRequests, layerSmall).c_str(), rate(SmallRequests, rawSmall).c_str(),
                Verdict(layerSmall.Ok() && rawSmall.Ok() && requests >= 0.8));
    std::printf("| streaming memory under %.0f MiB whatever the body size | see above | %s |\n", StreamingLimitMiB,
                Verdict(streamingMet));
    std::printf("\nLoad average after: %s.\n\n", Bench::LoadAverage().c_str());
    curl_global_cleanup();
    const bool ok = layer.Ok() && raw.Ok() && rawLarge.Ok() && layerSmall.Ok() && rawSmall.Ok();
    return ok ? 0 : 1;
}
