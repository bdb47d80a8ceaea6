// TAdvHttp at the machine's limit, side by side with its yardsticks in one run, printed as
// Markdown: medians of interleaved rounds (--rounds, default 5), raw numbers beside every ratio.
//  1. Kept body: a 256 MiB body with its length announced, Execute(true), against the loopback
//     limit (a plain socket receiving the same answer straight into one fresh block of its
//     length); the fresh-memory writer (this process writing as much new memory, 4 KiB pages on
//     both sides), raw libcurl keeping it and a chunked body of the same size beside; peak memory.
//  2. Request rate: 2000 sequential small GETs on one component against raw libcurl reusing one
//     easy handle (and, for reference, a new easy handle per GET on one multi handle, and Qt's
//     network manager).
//  3. Many at once: 1, 10, 100 and 1000 components without owner (events delivered directly),
//     one Execute(false) each, against one raw libcurl multi handle doing the same GETs, one
//     connection per transfer on both sides, and against Qt's network manager with its defaults
//     (one manager, at most six connections to the server); time, peak threads and the connections
//     the server accepted for each size. One at once is one request's latency.
//  4. 10 000 components created and freed with no request: memory per idle component, time.
//  5. Slow responses: 1000 components at once against a server that sends each 5-byte body one
//     byte every 100 ms, and one raw libcurl multi handle doing the same; time and peak threads.
// The component runs in this process rather than as advhttp processes: the fresh-memory writer has
// to run in the same process as the body it is set against, a thousand components at once are one
// program's threads, and starting a process would swamp a 2-byte GET. The server is bench_server,
// a child process (an epoll loop) whose own CPU time for each piece of work is its rate.
// Every table's header line names the CPU and the load average when it was printed.
// --only kept,rate,many,idle,slow runs some of the sections (for profiling one of them).
#include <QCoreApplication>

#include <curl/curl.h>
#include <malloc.h>
#include <sched.h>
#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "FreshMemory.h"
#include "LoopbackLimit.h"
#include "QtNetworkManager.h"
#include "RawLibcurl.h"
#include "ServerProcess.h"
#include "ThreadCensus.h"
#include "uAdvHttp.h"

namespace {

using Bench::Cell;
using Bench::Median;
using Bench::Verdict;

constexpr double BodyMiB = static_cast<double>(LoopbackServer::BigBodySize) / (1 << 20);
constexpr int SmallRequests = 2000;
constexpr int AtOnceSizes[] = {1, 10, 100, 1000};
// One request at once is over in well under a millisecond, where one scheduling hiccup doubles the
// time: each round takes this many tries of it and the median is of all of them.
constexpr int LatencyTries = 9;
constexpr int SlowComponents = 1000;
constexpr int TrickleBytes = 5;
constexpr int IdleComponents = 10000;
constexpr auto CompletionLimit = std::chrono::seconds(60);
constexpr auto SettleLimit = std::chrono::seconds(5);

// One measurement: wall time, the peak resident memory above the level at its start, and the
// server's CPU time for the same work.
struct Sample {
    double seconds = 0;
    double peakAboveMiB = 0;
    double serverSeconds = 0;
    long serverConnections = 0; // connections the server accepted during the measurement
    long peakThreads = 0; // the process's, counted exactly
    bool ok = false;
};

struct Series {
    std::vector<Sample> samples;
    bool Ok() const
    {
        for (const Sample& sample : samples)
            if (!sample.ok)
                return false;
        return !samples.empty();
    }
    double Seconds() const { return Median(Pick(&Sample::seconds)); }
    double ServerSeconds() const { return Median(Pick(&Sample::serverSeconds)); }
    double PeakAboveMiB() const
    {
        const std::vector<double> peaks = Pick(&Sample::peakAboveMiB);
        return peaks.empty() ? 0 : *std::max_element(peaks.begin(), peaks.end());
    }
    long PeakThreads() const
    {
        long peak = 0;
        for (const Sample& sample : samples)
            peak = std::max(peak, sample.peakThreads);
        return peak;
    }
    // The connections of one measurement: "N", or "LOW-HIGH" when they varied from one to another.
    std::string Connections() const
    {
        if (samples.empty())
            return "-";
        const auto [low, high] = std::minmax_element(samples.begin(), samples.end(), [](const Sample& a, const Sample& b) {
            return a.serverConnections < b.serverConnections;
        });
        return low->serverConnections == high->serverConnections
                   ? std::to_string(low->serverConnections)
                   : std::to_string(low->serverConnections) + "-" + std::to_string(high->serverConnections);
    }

private:
    std::vector<double> Pick(double Sample::*field) const
    {
        std::vector<double> values;
        for (const Sample& sample : samples)
            values.push_back(sample.*field);
        return values;
    }
};

Sample Measure(ServerProcess& server, const std::function<bool()>& work)
{
    Sample sample;
    const LoopbackServer::Usage serverBefore = server.Used();
    Bench::ResetPeak();
    ThreadCensus::ResetPeak();
    const double residentBefore = Bench::ResidentMiB();
    const double start = Bench::Now();
    sample.ok = work();
    sample.seconds = Bench::Now() - start;
    sample.peakThreads = ThreadCensus::Peak();
    sample.peakAboveMiB = Bench::PeakResidentMiB() - residentBefore;
    const LoopbackServer::Usage serverAfter = server.Used();
    sample.serverSeconds = serverAfter.cpuSeconds - serverBefore.cpuSeconds;
    sample.serverConnections = static_cast<long>(serverAfter.connections - serverBefore.connections);
    return sample;
}

// Waits, at most SettleLimit, until the threads that ended their work have also ended (the
// component's threads are detached and may outlive the last completion by a little), so that they
// count neither in the next measurement's peak nor in its memory.
void SettleThreads(long baseline)
{
    const double deadline = Bench::Now() + std::chrono::duration<double>(SettleLimit).count();
    while (ThreadCensus::Live() > baseline && Bench::Now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::unique_ptr<TAdvHttp> NewComponent(const std::string& url)
{
    auto http = std::make_unique<TAdvHttp>(nullptr);
    http->SetRaiseExceptions(false);
    http->SetDefaultUi(false);
    http->SetURL(url);
    return http;
}

// The body stays with the component until it is freed, on return.
bool ComponentKeepsBody(const std::string& url, std::size_t expectedSize)
{
    const auto http = NewComponent(url);
    return http->Execute(true) && http->StatusCode() == 200 && http->ResponseBody().size() == expectedSize;
}

bool ComponentRepeats(const std::string& url, int count)
{
    const auto http = NewComponent(url);
    for (int i = 0; i < count; ++i) {
        if (!http->Execute(true) || http->ResponseBody() != LoopbackServer::SmallBody)
            return false;
    }
    return true;
}

// count components, one asynchronous GET each, all started before the first is waited for; every
// body must be expectedBody and every completion must come exactly once.
bool ComponentsAtOnce(const std::string& url, int count, const std::string& expectedBody)
{
    std::mutex lock;
    std::condition_variable allDone;
    std::atomic<int> completions{0};
    const auto perComponent = std::make_unique<std::atomic<int>[]>(static_cast<std::size_t>(count));
    std::vector<std::unique_ptr<TAdvHttp>> components;
    components.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        components.push_back(NewComponent(url));
        components.back()->OnRequestComplete = [&, i](TObject*) {
            ++perComponent[static_cast<std::size_t>(i)];
            if (completions.fetch_add(1) + 1 >= count) {
                const std::lock_guard guard(lock);
                allDone.notify_all();
            }
        };
    }
    bool ok = true;
    for (const auto& http : components)
        ok = ok && http->Execute(false);
    if (ok) {
        std::unique_lock wait(lock);
        ok = allDone.wait_for(wait, CompletionLimit, [&] { return completions.load() >= count; }) && ok;
    }
    for (const auto& http : components)
        ok = ok && http->StatusCode() == 200 && http->LastError() == 0 && http->ResponseBody() == expectedBody;
    components.clear();
    for (int i = 0; i < count; ++i)
        ok = ok && perComponent[static_cast<std::size_t>(i)].load() == 1;
    return ok;
}

std::size_t HeapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

struct IdleSample {
    double createSeconds = 0;
    double freeSeconds = 0;
    double heapBytesEach = 0;     // the allocator's bytes in use, per component
    double residentBytesEach = 0; // resident memory grown, per component
    long threadsGrown = 0;
};

IdleSample CreateAndFreeIdle(int count)
{
    IdleSample sample;
    std::vector<std::unique_ptr<TAdvHttp>> components;
    components.reserve(static_cast<std::size_t>(count));
    const std::size_t heapBefore = HeapInUse();
    const double residentBefore = Bench::ResidentMiB();
    const long threadsBefore = ThreadCensus::Live();
    double start = Bench::Now();
    for (int i = 0; i < count; ++i)
        components.push_back(std::make_unique<TAdvHttp>(nullptr));
    sample.createSeconds = Bench::Now() - start;
    sample.heapBytesEach = static_cast<double>(HeapInUse() - heapBefore) / count;
    sample.residentBytesEach = (Bench::ResidentMiB() - residentBefore) * 1024 * 1024 / count;
    sample.threadsGrown = ThreadCensus::Live() - threadsBefore;
    start = Bench::Now();
    components.clear();
    sample.freeSeconds = Bench::Now() - start;
    return sample;
}

std::string Rate(double work, double seconds, int precision = 0)
{
    return seconds > 0 ? Cell(work / seconds, precision) : "-";
}

struct KeptBodies {
    Series limit, writer, component, raw, chunked;
    double Ratio() const { return limit.Seconds() / component.Seconds(); }
};

void PrintKeptBody(const KeptBodies& kept, int rounds)
{
    std::printf("### Kept body: 256 MiB in memory (medians of %d interleaved rounds; %s)\n\n", rounds,
                Bench::Conditions().c_str());
    std::printf("| client | seconds | MiB/s | ratio to the loopback limit | ratio to the fresh-memory writer | "
                "peak memory above start (MiB) | server CPU s (its MiB/s) |\n|---|---|---|---|---|---|---|\n");
    const auto row = [&](const char* name, const Series& series, bool served) {
        if (!series.Ok()) {
            std::printf("| %s | failed | - | - | - | - | - |\n", name);
            return;
        }
        std::printf("| %s | %s | %s | %s | %s | %s | %s |\n", name, Cell(series.Seconds(), 3).c_str(),
                    Rate(BodyMiB, series.Seconds()).c_str(), Cell(kept.limit.Seconds() / series.Seconds(), 2).c_str(),
                    Cell(kept.writer.Seconds() / series.Seconds(), 2).c_str(), Cell(series.PeakAboveMiB(), 1).c_str(),
                    served ? (Cell(series.ServerSeconds(), 3) + " (" + Rate(BodyMiB, series.ServerSeconds()) + ")").c_str()
                           : "-");
    };
    const Series &component = kept.component, &raw = kept.raw, &chunked = kept.chunked;
    row("loopback limit (yardstick): plain socket, recv() into one fresh block", kept.limit, true);
    row("fresh-memory writer (reference), 16 KiB pieces", kept.writer, false);
    row("TAdvHttp, Content-Length announced", component, true);
    row("raw libcurl keeping the body, Content-Length announced", raw, true);
    row("TAdvHttp, chunked (no target)", chunked, true);
    std::printf("\n");
}

struct RequestRates {
    Series component, raw, rawNewEasy, qt;
    double Ratio() const { return raw.Seconds() / component.Seconds(); }
    bool Met() const { return component.Ok() && raw.Ok() && Ratio() >= 0.95; }
};

void MeasureRequestRates(ServerProcess& server, const std::string& url, RequestRates& rates)
{
    rates.raw.samples.push_back(Measure(server, [&] { return RawLibcurl::RepeatGets(url, SmallRequests, LoopbackServer::SmallBody); }));
    rates.component.samples.push_back(Measure(server, [&] { return ComponentRepeats(url, SmallRequests); }));
    rates.rawNewEasy.samples.push_back(Measure(server, [&] {
        return RawLibcurl::RepeatGetsNewEasyHandles(url, SmallRequests, LoopbackServer::SmallBody);
    }));
    rates.qt.samples.push_back(
        Measure(server, [&] { return QtNetworkManager::RepeatGets(url, SmallRequests, LoopbackServer::SmallBody); }));
}

void PrintRequestRate(const RequestRates& rates, const char* placement, int rounds)
{
    const Series &component = rates.component, &raw = rates.raw, &rawNewEasy = rates.rawNewEasy, &qt = rates.qt;
    std::printf("### Request rate: %d sequential small GETs, connection reused, %s (medians of %d interleaved rounds; %s)\n\n",
                SmallRequests, placement, rounds, Bench::Conditions().c_str());
    std::printf("| client | seconds | requests/s | ratio to raw libcurl | server CPU s (its requests/s) |\n"
                "|---|---|---|---|---|\n");
    const auto row = [&](const char* name, const Series& series) {
        if (!series.Ok()) {
            std::printf("| %s | failed | - | - | - |\n", name);
            return;
        }
        std::printf("| %s | %s | %s | %s | %s (%s) |\n", name, Cell(series.Seconds(), 3).c_str(),
                    Rate(SmallRequests, series.Seconds()).c_str(), Cell(raw.Seconds() / series.Seconds(), 2).c_str(),
                    Cell(series.ServerSeconds(), 3).c_str(), Rate(SmallRequests, series.ServerSeconds()).c_str());
    };
    row("raw libcurl, one easy handle (yardstick)", raw);
    row("TAdvHttp, Execute(true)", component);
    row("raw libcurl, new easy handle per GET on one multi handle (reference)", rawNewEasy);
    row("Qt's QNetworkAccessManager (yardstick)", qt);
    std::printf("\n");
}

struct AtOnce {
    int count = 0;
    Series component, raw, qt;
    double PerComponentMs() const { return component.Seconds() * 1000 / count; }
    long ComponentThreads() const { return component.PeakThreads(); }
};

void PrintAtOnce(const std::vector<AtOnce>& sizes, long baselineThreads, int rounds)
{
    std::printf("### Many at once: components without owner, one Execute(false) each, against one raw libcurl "
                "multi handle and one Qt network manager (medians of %d interleaved rounds; %s)\n\n",
                rounds, Bench::Conditions().c_str());
    std::printf("| at once | TAdvHttp s | raw multi s | ratio to raw | Qt manager s | ratio to Qt | ms per component | "
                "server CPU s (its transfers/s) | connections, TAdvHttp | connections, raw | peak threads, TAdvHttp | "
                "peak threads, raw | threads <= components + 8 |\n"
                "|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const AtOnce& size : sizes) {
        if (!size.component.Ok() || !size.raw.Ok() || !size.qt.Ok()) {
            std::printf("| %d | %s | %s | - | %s | - | - | - | - | - | - | - | - |\n", size.count,
                        size.component.Ok() ? "" : "failed", size.raw.Ok() ? "" : "failed", size.qt.Ok() ? "" : "failed");
            continue;
        }
        std::printf("| %d | %s | %s | %s | %s | %s | %s | %s (%s) | %s | %s | %ld | %ld | %s |\n", size.count,
                    Cell(size.component.Seconds(), 4).c_str(), Cell(size.raw.Seconds(), 4).c_str(),
                    Cell(size.raw.Seconds() / size.component.Seconds(), 2).c_str(), Cell(size.qt.Seconds(), 4).c_str(),
                    Cell(size.qt.Seconds() / size.component.Seconds(), 2).c_str(), Cell(size.PerComponentMs(), 3).c_str(),
                    Cell(size.component.ServerSeconds(), 4).c_str(),
                    Rate(size.count, size.component.ServerSeconds()).c_str(), size.component.Connections().c_str(),
                    size.raw.Connections().c_str(), size.ComponentThreads(), size.raw.PeakThreads(),
                    Verdict(size.ComponentThreads() <= size.count + 8));
    }
    std::printf("\nThreads: the most the process held at once in any round, counted at every thread's start and end "
                "(%ld before any component). Server CPU: its time serving the TAdvHttp rounds. Connections: those "
                "the server accepted during one measurement (a range when they varied). One at once: the median of "
                "%d tries in each round.\n\n",
                baselineThreads, LatencyTries);
}

struct SlowResponses {
    Series component, raw;
    // Every body's last byte leaves the server this long after its head, at the soonest.
    static double SoonestSeconds()
    {
        return std::chrono::duration<double>(LoopbackServer::TrickleInterval).count() * TrickleBytes;
    }
};

void PrintSlow(const SlowResponses& slow, long baselineThreads, int rounds)
{
    std::printf("### Slow responses: %d components without owner, one Execute(false) each, each %d-byte body sent "
                "one byte every %lld ms, against one raw libcurl multi handle (medians of %d interleaved rounds; %s)\n\n",
                SlowComponents, TrickleBytes, static_cast<long long>(LoopbackServer::TrickleInterval.count()), rounds,
                Bench::Conditions().c_str());
    std::printf("| client | seconds | above the soonest (s) | peak threads | connections | server CPU s |\n"
                "|---|---|---|---|---|---|\n");
    const auto row = [&](const char* name, const Series& series) {
        if (!series.Ok()) {
            std::printf("| %s | failed | - | - | - | - |\n", name);
            return;
        }
        std::printf("| %s | %s | %s | %ld | %s | %s |\n", name, Cell(series.Seconds(), 3).c_str(),
                    Cell(series.Seconds() - SlowResponses::SoonestSeconds(), 3).c_str(), series.PeakThreads(),
                    series.Connections().c_str(), Cell(series.ServerSeconds(), 4).c_str());
    };
    row("TAdvHttp, Execute(false)", slow.component);
    row("raw libcurl, one multi handle (yardstick)", slow.raw);
    std::printf("\nReported, no target: the soonest any client can finish is %s s. Threads: the most the process held "
                "at once in any round (%ld before any component).\n\n",
                Cell(SlowResponses::SoonestSeconds(), 1).c_str(), baselineThreads);
}

void PrintIdle(const std::vector<IdleSample>& samples)
{
    std::vector<double> create, release, heap, resident;
    for (const IdleSample& sample : samples) {
        create.push_back(sample.createSeconds);
        release.push_back(sample.freeSeconds);
        heap.push_back(sample.heapBytesEach);
        resident.push_back(sample.residentBytesEach);
    }
    std::printf("### %d components created and freed with no request (medians of %zu rounds; %s)\n\n", IdleComponents,
                samples.size(), Bench::Conditions().c_str());
    std::printf("| create s | free s | µs per create + free | heap bytes per component | resident bytes per component "
                "(first round) | threads added |\n|---|---|---|---|---|---|\n");
    std::printf("| %s | %s | %s | %s | %s | %ld |\n\n", Cell(Median(create), 4).c_str(), Cell(Median(release), 4).c_str(),
                Cell((Median(create) + Median(release)) * 1e6 / IdleComponents, 2).c_str(), Cell(Median(heap), 0).c_str(),
                Cell(samples.front().residentBytesEach, 0).c_str(), samples.front().threadsGrown);
}

std::string Row(const std::string& target, const std::string& figures, bool met)
{
    return "| " + target + " | " + figures + " | " + Verdict(met) + " |";
}

// A row whose verdict is for information: the figure is reported, not held to its limit.
std::string InformationRow(const std::string& target, const std::string& figures, bool met)
{
    return "| " + target + " | " + figures + " | " + (met ? "met" : "not met") + " (for information) |";
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = 5;
    std::string only = "kept,rate,many,idle,slow";
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--only") == 0)
            only = argv[i + 1];
    }
    const auto wanted = [&](const char* section) { return ("," + only + ",").find(std::string(",") + section + ",") != std::string::npos; };
    // 4 KiB pages for every block of this process, the component's body and the writer's alike,
    // whatever the machine's transparent huge page setting.
    const bool smallPages = ::prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) == 0;
    const long openFiles = Bench::RaiseOpenFileLimit();
    QCoreApplication application(argc, argv);
    curl_global_init(CURL_GLOBAL_DEFAULT);

    ServerProcess server(BENCH_SERVER);
    if (server.Port() == 0) {
        std::fputs("component_bench: the benchmark server did not start\n", stderr);
        return 1;
    }
    std::printf("## TAdvHttp against its yardsticks (%s build, in one process)\n\n", BENCH_BUILD);
    std::printf("Load average before: %s. Pages: %s. Open-file limit: %ld.\n\n", Bench::LoadAverage().c_str(),
                smallPages ? "4 KiB (transparent huge pages off for this process)" : "the system's default", openFiles);

    const std::string big = server.Url("/big"), chunked = server.Url("/chunked"), small = server.Url("/small");
    std::vector<std::string> targets; // rows of the closing table
    const long threadsAtStart = ThreadCensus::Live();
    bool ok = true;

    // 1. Kept body, each round in a shifted order so that no client always follows the same one.
    if (wanted("kept")) {
        KeptBodies bodies;
        const int port = server.Port();
        const std::vector<std::pair<Series*, std::function<bool()>>> kept = {
            {&bodies.limit, [&] { return LoopbackLimit::KeepBody(port, "/big", LoopbackServer::BigBodySize); }},
            {&bodies.writer, [] { return FreshMemory::Write(LoopbackServer::BigBodySize); }},
            {&bodies.component, [&] { return ComponentKeepsBody(big, LoopbackServer::BigBodySize); }},
            {&bodies.raw, [&] { return RawLibcurl::KeepBody(big, LoopbackServer::BigBodySize); }},
            {&bodies.chunked, [&] { return ComponentKeepsBody(chunked, LoopbackServer::BigBodySize); }},
        };
        for (int round = 0; round < rounds; ++round)
            for (std::size_t i = 0; i < kept.size(); ++i) {
                const auto& [series, work] = kept[(i + static_cast<std::size_t>(round)) % kept.size()];
                series->samples.push_back(Measure(server, work));
            }
        PrintKeptBody(bodies, rounds);
        const Series& component = bodies.component;
        const double memoryLimit = BodyMiB + 32;
        const bool measured = component.Ok() && bodies.limit.Ok();
        targets.push_back(Row("kept body >= 0.85 of the loopback limit",
                              Cell(bodies.Ratio(), 2) + " (" + Rate(BodyMiB, component.Seconds()) + " against " +
                                  Rate(BodyMiB, bodies.limit.Seconds()) + " MiB/s)",
                              measured && bodies.Ratio() >= 0.85));
        targets.push_back(Row("kept body's peak memory <= body + 32 MiB",
                              Cell(component.PeakAboveMiB(), 1) + " MiB above start (limit " + Cell(memoryLimit, 0) + ")",
                              component.Ok() && component.PeakAboveMiB() <= memoryLimit));
        ok = ok && measured && bodies.writer.Ok() && bodies.raw.Ok() && bodies.chunked.Ok();
    }

    // 2. Request rate, twice: with the threads placed freely, and with the client and the server
    // sharing one CPU. On a virtual machine a sequential request that wakes the other CPU waits for
    // it far longer than any of the work takes, and that wait varies from run to run; on one CPU
    // the time is the work of both sides per request, and the server's share is the same for all.
    if (wanted("rate")) {
        RequestRates free, oneCpu;
        cpu_set_t allCpus;
        CPU_ZERO(&allCpus);
        ::sched_getaffinity(0, sizeof allCpus, &allCpus);
        cpu_set_t thisCpu;
        CPU_ZERO(&thisCpu);
        CPU_SET(std::max(0, ::sched_getcpu()), &thisCpu);
        for (int round = 0; round < rounds; ++round) {
            MeasureRequestRates(server, small, free);
            ::sched_setaffinity(0, sizeof thisCpu, &thisCpu);
            server.SetAffinity(thisCpu);
            MeasureRequestRates(server, small, oneCpu);
            ::sched_setaffinity(0, sizeof allCpus, &allCpus);
            server.SetAffinity(allCpus);
        }
        PrintRequestRate(free, "threads placed freely", rounds);
        PrintRequestRate(oneCpu, "client and server on one CPU", rounds);
        for (const auto& [rates, placement] : {std::pair{&free, "threads placed freely"}, std::pair{&oneCpu, "on one CPU"}}) {
            targets.push_back(Row(std::string("request rate >= 0.95 of raw libcurl, ") + placement,
                                  Cell(rates->Ratio(), 2) + " (" + Rate(SmallRequests, rates->component.Seconds()) +
                                      " against " + Rate(SmallRequests, rates->raw.Seconds()) + " requests/s)",
                                  rates->Met()));
            ok = ok && rates->component.Ok() && rates->raw.Ok() && rates->rawNewEasy.Ok();
        }
    }

    // 3. Many at once.
    if (wanted("many")) {
        const long baselineThreads = ThreadCensus::Live();
        std::vector<AtOnce> sizes;
        for (const int count : AtOnceSizes)
            sizes.push_back({count, {}, {}, {}});
        for (int round = 0; round < rounds; ++round)
            for (AtOnce& size : sizes)
                for (int attempt = 0; attempt < (size.count == 1 ? LatencyTries : 1); ++attempt) {
                    size.component.samples.push_back(
                        Measure(server, [&] { return ComponentsAtOnce(small, size.count, LoopbackServer::SmallBody); }));
                    size.raw.samples.push_back(
                        Measure(server, [&] { return RawLibcurl::ManyAtOnce(small, size.count, LoopbackServer::SmallBody); }));
                    size.qt.samples.push_back(Measure(
                        server, [&] { return QtNetworkManager::ManyAtOnce(small, size.count, LoopbackServer::SmallBody); }));
                }
        for (const AtOnce& size : sizes) {
            ok = ok && size.component.Ok() && size.raw.Ok() && size.qt.Ok();
            const double ratio = size.qt.Seconds() / size.component.Seconds();
            targets.push_back(Row(std::to_string(size.count) + " at once faster than Qt's network manager",
                                  Cell(ratio, 2) + " (" + Cell(size.component.Seconds(), 4) + " against " +
                                      Cell(size.qt.Seconds(), 4) + " s)",
                                  size.component.Ok() && size.qt.Ok() && ratio > 1.0));
        }
        PrintAtOnce(sizes, baselineThreads, rounds);
        const AtOnce &one = sizes[0], &hundred = sizes[2], &thousand = sizes[3];
        const double latency = one.component.Seconds() / one.raw.Seconds();
        targets.push_back(Row("1 at once <= 1.25x the raw multi handle's time",
                              Cell(latency, 2) + "x (" + Cell(one.component.Seconds() * 1000, 3) + " against " +
                                  Cell(one.raw.Seconds() * 1000, 3) + " ms)",
                              one.component.Ok() && one.raw.Ok() && latency <= 1.25));
        for (const AtOnce* size : {&hundred, &thousand}) {
            const double ratio = size->raw.Seconds() / size->component.Seconds();
            targets.push_back(Row(std::to_string(size->count) + " at once >= 0.80 of the raw multi handle",
                                  Cell(ratio, 2) + " (" + Cell(size->component.Seconds(), 4) + " against " +
                                      Cell(size->raw.Seconds(), 4) + " s)",
                                  size->component.Ok() && size->raw.Ok() && ratio >= 0.8));
            targets.push_back(Row(std::to_string(size->count) + " at once: threads <= components + 8",
                                  "peak " + std::to_string(size->ComponentThreads()) + " (limit " +
                                      std::to_string(size->count + 8) + ")",
                                  size->ComponentThreads() <= size->count + 8));
        }
        const double curve = thousand.PerComponentMs() / hundred.PerComponentMs();
        targets.push_back(Row("time per component at 1000 within 2x of that at 100",
                              Cell(curve, 2) + "x (" + Cell(thousand.PerComponentMs(), 3) + " against " +
                                  Cell(hundred.PerComponentMs(), 3) + " ms)",
                              thousand.component.Ok() && hundred.component.Ok() && curve <= 2.0));
    }

    // 4. Idle components.
    if (wanted("idle")) {
        SettleThreads(threadsAtStart); // the threads of the sections before, ending late, would count here
        std::vector<IdleSample> idle;
        for (int round = 0; round < rounds; ++round)
            idle.push_back(CreateAndFreeIdle(IdleComponents));
        PrintIdle(idle);
    }

    // 5. Slow responses: every transfer waits on the server nearly all the time, so the figures are
    // the threads the component holds for waiting transfers and what it adds to the wait. Last, after
    // the idle components: the memory a thousand threads leave behind would show in their figures.
    if (wanted("slow")) {
        const long baselineThreads = ThreadCensus::Live();
        const std::string trickle = server.Url("/trickle/" + std::to_string(TrickleBytes));
        const std::string trickled(TrickleBytes, 'x');
        SlowResponses slow;
        for (int round = 0; round < rounds; ++round) {
            slow.component.samples.push_back(Measure(server, [&] { return ComponentsAtOnce(trickle, SlowComponents, trickled); }));
            SettleThreads(baselineThreads);
            slow.raw.samples.push_back(Measure(server, [&] { return RawLibcurl::ManyAtOnce(trickle, SlowComponents, trickled); }));
        }
        PrintSlow(slow, baselineThreads, rounds);
        const long threads = slow.component.PeakThreads();
        targets.push_back(InformationRow("threads with " + std::to_string(SlowComponents) + " slow responses",
                                         "peak " + std::to_string(threads) + " (components + 8 = " +
                                             std::to_string(SlowComponents + 8) + "); " +
                                             Cell(slow.component.Seconds(), 3) + " s against raw " +
                                             Cell(slow.raw.Seconds(), 3) + " s",
                                         slow.component.Ok() && threads <= SlowComponents + 8));
        ok = ok && slow.component.Ok() && slow.raw.Ok();
    }

    if (!targets.empty()) {
        std::printf("### Targets (%s build; %s)\n\n| target | figures | verdict |\n|---|---|---|\n", BENCH_BUILD,
                    Bench::Conditions().c_str());
        for (const std::string& row : targets)
            std::printf("%s\n", row.c_str());
    }
    std::printf("\nLoad average after: %s.\n\n", Bench::LoadAverage().c_str());
    curl_global_cleanup();
    return ok ? 0 : 1;
}
