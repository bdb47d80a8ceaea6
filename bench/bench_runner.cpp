// The component from outside, printed as Markdown: advhttp, raw libcurl and the curl command as
// processes of their own, each measured by wall time and by its peak resident memory (wait4), as
// medians of interleaved rounds (--rounds, default 5):
//  - a 256 MiB body (throughput, peak memory);
//  - 2000 sequential small GETs with connection reuse (requests per second);
//  - the wizard's start to its first painted frame (offscreen, JPEG decode included).
// Targets: advhttp at 0.9 or more of raw libcurl's throughput and 0.8 or more of its request
// rate; peak memory at most twice the body plus 32 MiB; the first frame under 100 ms. The
// component's targets against the machine's limits are component_bench's.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "ServerProcess.h"

extern char** environ;

namespace {

using Bench::Cell;
using Bench::Median;
using Bench::Now;
using Bench::Verdict;

constexpr double BodyMiB = 256.0;
constexpr int SmallRequests = 2000;

struct Run {
    double seconds = 0;
    double peakMiB = 0;
    bool ok = false;
    std::string output;
};

long long NowNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// Runs argv to its end with stdout captured (stderr dropped), extra "NAME=value" entries added to
// the environment.
Run Measure(const std::vector<std::string>& argv, std::vector<std::string> environment = {})
{
    for (char** entry = environ; *entry != nullptr; ++entry)
        environment.emplace_back(*entry);
    std::vector<char*> args, envs;
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    for (const auto& env : environment)
        envs.push_back(const_cast<char*>(env.c_str()));
    envs.push_back(nullptr);

    int out[2];
    if (::pipe(out) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    Run run;
    const double start = Now();
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, args[0], &actions, nullptr, args.data(), envs.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        return {};
    }
    char buffer[4096];
    for (ssize_t got; (got = ::read(out[0], buffer, sizeof buffer)) > 0;)
        run.output.append(buffer, static_cast<std::size_t>(got));
    ::close(out[0]);
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    run.seconds = Now() - start;
    run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

// The median of the rounds' times; peak memory the highest seen in any round.
Run MedianOf(const std::vector<Run>& runs)
{
    Run median;
    if (runs.empty())
        return median;
    std::vector<double> seconds;
    median.ok = true;
    for (const Run& run : runs) {
        seconds.push_back(run.seconds);
        median.peakMiB = std::max(median.peakMiB, run.peakMiB);
        median.ok = median.ok && run.ok;
    }
    median.seconds = Median(seconds);
    return median;
}

bool CommandExists(const char* name)
{
    return Measure({"sh", "-c", std::string("command -v ") + name}).ok;
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = 5;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));

    const std::string loadBefore = Bench::LoadAverage();
    ServerProcess server(BENCH_SERVER);
    if (server.Port() == 0) {
        std::fputs("bench_runner: the benchmark server did not start\n", stderr);
        return 1;
    }
    const std::string base = "http://127.0.0.1:" + std::to_string(server.Port());
    const std::string big = base + "/big", small = base + "/small";

    // curl takes many URLs in one run from a config file, reusing its connection.
    char configPath[] = "/tmp/bench-curl-XXXXXX";
    const int configFd = ::mkstemp(configPath);
    {
        std::ofstream config(configPath);
        for (int i = 0; i < SmallRequests; ++i)
            config << "url = \"" << small << "\"\noutput = \"/dev/null\"\n";
    }
    ::close(configFd);

    // The request rate leaves out starting the process: each client also runs a single request,
    // and the rate is the other 1999 over the time they added.
    struct Client {
        std::string name;
        std::vector<std::string> bigCommand;
        std::vector<std::string> smallCommand;
        std::vector<std::string> oneCommand;
        std::vector<Run> bigRuns, smallRuns, oneRuns;
        Run bigRun, smallRun, oneRun;
        double Rate() const { return (SmallRequests - 1) / std::max(1e-6, smallRun.seconds - oneRun.seconds); }
    };
    // Raw libcurl keeps the body in memory as the component must (its Text); the row that drops
    // it shows what keeping costs.
    std::vector<Client> clients = {
        {"raw libcurl, body kept in memory", {BENCH_RAW_LIBCURL, "keep", big},
         {BENCH_RAW_LIBCURL, "repeat", std::to_string(SmallRequests), small}, {BENCH_RAW_LIBCURL, "get", small}},
        {"advhttp (TAdvHttp, synchronous)", {ADVHTTP, "-o", "/dev/null", big},
         {ADVHTTP, "-n", std::to_string(SmallRequests), "-o", "/dev/null", small},
         {ADVHTTP, "-o", "/dev/null", small}},
    };
    clients.push_back({"raw libcurl, body dropped", {BENCH_RAW_LIBCURL, "get", big}, {}, {}});
    if (CommandExists("curl"))
        clients.push_back({"curl command", {"curl", "-s", "--noproxy", "*", "-o", "/dev/null", big},
                           {"curl", "-s", "--noproxy", "*", "-K", configPath},
                           {"curl", "-s", "--noproxy", "*", "-o", "/dev/null", small}});

    const std::vector<std::string> quiet = {"http_proxy=", "https_proxy=", "HTTP_PROXY=", "HTTPS_PROXY="};
    for (int round = 0; round < rounds; ++round)
        for (Client& client : clients) {
            client.bigRuns.push_back(Measure(client.bigCommand, quiet));
            if (!client.smallCommand.empty()) {
                client.smallRuns.push_back(Measure(client.smallCommand, quiet));
                client.oneRuns.push_back(Measure(client.oneCommand, quiet));
            }
        }
    for (Client& client : clients) {
        client.bigRun = MedianOf(client.bigRuns);
        client.smallRun = MedianOf(client.smallRuns);
        client.oneRun = MedianOf(client.oneRuns);
    }
    ::unlink(configPath);

    std::printf("## advhttp and the wizard from outside (%s build, every client a process)\n\n", BENCH_BUILD);
    std::printf("Load average before: %s. Medians of %d interleaved rounds; request rates leave out starting the "
                "process (each client also runs one request, and the rate is the other %d over the time they add).\n\n",
                loadBefore.c_str(), rounds, SmallRequests - 1);
    std::printf("| client | 256 MiB body (s) | MiB/s | peak memory (MiB) | %d small GETs (requests/s) |\n", SmallRequests);
    std::printf("|---|---|---|---|---|\n");
    for (const Client& client : clients) {
        std::printf("| %s | %s | %s | %s | %s |\n", client.name.c_str(),
                    client.bigRun.ok ? Cell(client.bigRun.seconds, 3).c_str() : "failed",
                    client.bigRun.ok ? Cell(BodyMiB / client.bigRun.seconds, 0).c_str() : "-",
                    client.bigRun.ok ? Cell(client.bigRun.peakMiB, 1).c_str() : "-",
                    client.smallCommand.empty() ? "-"
                    : client.smallRun.ok && client.oneRun.ok ? Cell(client.Rate(), 0).c_str()
                                                             : "failed");
    }

    // The wizard's first frame, in a scratch settings hive so the user's own stays untouched.
    char configHome[] = "/tmp/bench-wizard-XXXXXX";
    std::vector<double> frames;
    if (::mkdtemp(configHome) != nullptr) {
        for (int round = 0; round < std::max(5, rounds); ++round) {
            const Run run = Measure({WIZARD_FIRST_FRAME}, {"QT_QPA_PLATFORM=offscreen",
                                                           std::string("XDG_CONFIG_HOME=") + configHome,
                                                           "BENCH_START_NS=" + std::to_string(NowNanoseconds())});
            double milliseconds = 0;
            if (run.ok && std::sscanf(run.output.c_str(), "first-frame-ms %lf", &milliseconds) == 1)
                frames.push_back(milliseconds);
        }
        Measure({"rm", "-rf", configHome});
    }
    const bool framed = !frames.empty();
    std::printf("\nThe wizard's start to its first painted frame (offscreen, JPEG decode included, median of %zu): %s ms.\n",
                frames.size(), framed ? Cell(Median(frames), 1).c_str() : "failed");

    const Client &raw = clients[0], &component = clients[1];
    const bool measured = raw.bigRun.ok && component.bigRun.ok && raw.smallRun.ok && component.smallRun.ok;
    const double throughput = raw.bigRun.seconds / component.bigRun.seconds;
    const double rate = component.Rate() / raw.Rate();
    const double memoryLimit = 2 * BodyMiB + 32;
    std::printf("\n### Targets from outside (%s build)\n\n| target | figures | verdict |\n|---|---|---|\n", BENCH_BUILD);
    std::printf("| advhttp's 256 MiB body >= 0.90 of raw libcurl keeping it | %.2f | %s |\n", throughput,
                Verdict(measured && throughput >= 0.9));
    std::printf("| advhttp's request rate >= 0.80 of raw libcurl | %.2f (%.0f against %.0f requests/s) | %s |\n", rate,
                component.Rate(), raw.Rate(), Verdict(measured && rate >= 0.8));
    std::printf("| advhttp's peak memory <= 2 x body + 32 MiB | %.1f MiB (limit %.0f) | %s |\n", component.bigRun.peakMiB,
                memoryLimit, Verdict(measured && component.bigRun.peakMiB <= memoryLimit));
    std::printf("| the wizard's first frame under 100 ms | %s ms | %s |\n", framed ? Cell(Median(frames), 1).c_str() : "-",
                Verdict(framed && Median(frames) < 100));
    std::printf("\nLoad average after: %s.\n\n", Bench::LoadAverage().c_str());
    return measured && framed ? 0 : 1;
}
