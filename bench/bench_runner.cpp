// Runs the component's benchmarks side by side on loopback and prints a Markdown table:
//  - a 256 MiB body: advhttp vs the curl command vs raw libcurl (throughput, peak memory);
//  - 2000 sequential small GETs with connection reuse (requests per second);
//  - the wizard's start to its first painted frame (offscreen, JPEG decode included).
// Each client is its own process, measured from outside (wall time, and peak resident memory
// from wait4), best of --rounds runs (default 3). Targets: advhttp at 0.9 or more of raw
// libcurl's throughput and 0.8 or more of its request rate; peak memory at most twice the body
// plus 32 MiB; the first frame under 150 ms.
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

extern char** environ;

namespace {

constexpr double BodyMiB = 256.0;
constexpr int SmallRequests = 2000;

struct Run {
    double seconds = 0;
    double peakMiB = 0;
    bool ok = false;
    std::string output;
};

double Now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

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

// Best (fastest) of several rounds; its peak memory is the highest seen in any round.
Run Best(int rounds, const std::vector<std::string>& argv, const std::vector<std::string>& environment = {})
{
    Run best;
    double peak = 0;
    for (int round = 0; round < rounds; ++round) {
        Run run = Measure(argv, environment);
        if (!run.ok)
            return run;
        peak = std::max(peak, run.peakMiB);
        if (!best.ok || run.seconds < best.seconds)
            best = run;
    }
    best.peakMiB = peak;
    return best;
}

// The benchmark server as a child process; it ends when its stdin closes.
class ServerProcess {
public:
    explicit ServerProcess(const std::string& path)
    {
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        char* args[] = {const_cast<char*>(path.c_str()), nullptr};
        const int spawned = posix_spawn(&m_pid, path.c_str(), &actions, nullptr, args, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        m_stdin = in[1];
        if (spawned == 0) {
            char line[64] = {};
            const ssize_t got = ::read(out[0], line, sizeof line - 1);
            if (got > 0)
                std::sscanf(line, "port %d", &m_port);
        }
        ::close(out[0]);
    }
    ~ServerProcess()
    {
        ::close(m_stdin);
        if (m_pid > 0)
            ::waitpid(m_pid, nullptr, 0);
    }
    int Port() const { return m_port; }

private:
    pid_t m_pid = 0;
    int m_stdin = -1;
    int m_port = 0;
};

bool CommandExists(const char* name)
{
    return Measure({"sh", "-c", std::string("command -v ") + name}).ok;
}

std::string Cell(double value, int precision)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", precision, value);
    return text;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = 3;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));

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
    for (Client& client : clients) {
        client.bigRun = Best(rounds, client.bigCommand, quiet);
        if (!client.smallCommand.empty()) {
            client.smallRun = Best(rounds, client.smallCommand, quiet);
            client.oneRun = Best(rounds, client.oneCommand, quiet);
        }
    }
    ::unlink(configPath);

    std::printf("| client | 256 MiB body (MiB/s) | peak memory (MiB) | %d small GETs (requests/s) |\n", SmallRequests);
    std::printf("|---|---|---|---|\n");
    for (const Client& client : clients) {
        std::printf("| %s | %s | %s | %s |\n", client.name.c_str(),
                    client.bigRun.ok ? Cell(BodyMiB / client.bigRun.seconds, 0).c_str() : "failed",
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
    std::printf("\nWizard start to first painted frame (offscreen, median of %zu): %s ms\n", frames.size(),
                frames.empty() ? "failed" : Cell(Median(frames), 1).c_str());

    const Run& raw = clients[0].bigRun;

    const Run& component = clients[1].bigRun;

    if (raw.ok && component.ok && clients[0].smallRun.ok && clients[1].smallRun.ok) {
        const double throughput = raw.seconds / component.seconds;
        const double rate = clients[1].Rate() / clients[0].Rate();
        const double memoryLimit = 2 * BodyMiB + 32;
        std::printf("\nTargets: throughput %.2f of raw libcurl (>= 0.90: %s); request rate %.2f (>= 0.80: %s); "
                    "peak memory %.0f MiB (<= %.0f: %s); first frame (< 150 ms: %s)\n",
                    throughput, throughput >= 0.9 ? "met" : "MISSED", rate, rate >= 0.8 ? "met" : "MISSED",
                    component.peakMiB, memoryLimit, component.peakMiB <= memoryLimit ? "met" : "MISSED",
                    !frames.empty() && Median(frames) < 150 ? "met" : "MISSED");
    }
    return 0;
}
