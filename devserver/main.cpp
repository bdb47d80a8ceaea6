// dorvane-devserver: the service's wizard scripts on a local port, for trial runs and tests.
#include "AccountStore.h"
#include "WizardService.h"

#include <atomic>
#include <charconv>
#include <chrono>
#include <csignal>
#include <netdb.h>
#include <cstdio>
#include <optional>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <string_view>
#include <thread>
#include <unistd.h>

using namespace dorvane::devserver;

namespace {

constexpr int DefaultPort = 8080;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

constexpr const char* Usage = R"(Usage: dorvane-devserver [options]
Serves the Dorvane wizard scripts:
  GET /wizard_files/make_login.asp?userlogin=L&userpassword=P&email=E
      answers the new account's id (1, 2, ...), 0 when the login is taken (letter case
      ignored, for every letter), -1/-2/-3 when login/password/e-mail is missing or empty,
      -4 when a field is longer than 256 bytes, -5 when a field holds a NUL byte, -6 when
      storing failed (the log line says why); 503 when 16 sign-ups wait for their password
      hash already
  GET /wizard_files/make_usr.asp?id=N
      marks the account complete: 1, 0 for an unknown id, -1 for a missing or malformed id,
      -6 when storing failed
Other paths are answered 404; other methods on these two 405.
Options:
  --host HOST           address to listen on (default 127.0.0.1)
  --port N              port to listen on (default 8080); 0 picks a free one
  --db PATH             keep accounts in this SQLite file, created 0600 if missing; a store
                        of release 1.0.0 is upgraded, any other file or database refused
                        (default :memory:, forgotten when the service stops)
  --password-cost C     interactive (default) or minimum; minimum hashes are cheap and
                        meant for test suites only
  --max-connections N   connections held at once (default 4096, at most the open-file
                        limit less 64); past it a new connection is answered 503 and closed
  --idle-timeout S      close a connection that sends nothing for S seconds, between
                        requests or within one (default 5)
  --request-timeout S   close a connection whose request head and body take longer than
                        S seconds from their first byte (default 10)
  --help                show this text
Prints "listening on HOST:PORT" on standard output once it accepts connections, logs one
line per request on standard error (passwords masked) and stops on SIGINT or SIGTERM, at
any moment, also while it starts.
)";

// Descriptors kept for the database, the standard streams and the listening socket.
constexpr rlim_t ReservedDescriptors = 64;

struct Settings {
    std::string host = "127.0.0.1";
    int port = DefaultPort;
    std::string database = ":memory:";
    PasswordCost passwordCost = PasswordCost::Interactive;
    HttpServer::Limits limits {};
    bool help = false;
};

std::optional<long> parseNumber(std::string_view text, long lowest, long highest)
{
    long number = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size() || number < lowest || number > highest)
        return std::nullopt;
    return number;
}

// Options that take a number: the name, its range, and where it goes.
struct NumberOption {
    std::string_view name;
    long lowest;
    long highest;
    void (*store)(Settings&, long);
};
constexpr NumberOption NumberOptions[] = {
    {"--port", 0, 65535, [](Settings& s, long n) { s.port = static_cast<int>(n); }},
    {"--max-connections", 1, 1000000, [](Settings& s, long n) { s.limits.maxConnections = static_cast<size_t>(n); }},
    {"--idle-timeout", 1, 86400, [](Settings& s, long n) { s.limits.idleTimeout = std::chrono::seconds(n); }},
    {"--request-timeout", 1, 86400, [](Settings& s, long n) { s.limits.requestDeadline = std::chrono::seconds(n); }},
};

const NumberOption* numberOption(std::string_view name)
{
    for (const NumberOption& option : NumberOptions) {
        if (option.name == name)
            return &option;
    }
    return nullptr;
}

// Fills `settings` from the command line; on a mistake writes it to `error`.
[[nodiscard]] bool parseArguments(int argc, char** argv, Settings& settings, std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "--help" || option == "-h") {
            settings.help = true;
            continue;
        }
        const NumberOption* number = numberOption(option);
        if (option != "--host" && option != "--db" && option != "--password-cost" && number == nullptr) {
            error = "unknown option " + std::string(option);
            return false;
        }
        if (i + 1 >= argc) {
            error = std::string(option) + " needs a value";
            return false;
        }
        const std::string_view value = argv[++i];
        // An empty host would listen on every address, an empty path name no file.
        if (value.empty() && (option == "--host" || option == "--db")) {
            error = std::string(option) + " needs a value that isn't empty";
            return false;
        }
        if (option == "--host") {
            settings.host = value;
        } else if (option == "--db") {
            settings.database = value;
        } else if (number != nullptr) {
            const auto parsed = parseNumber(value, number->lowest, number->highest);
            if (!parsed) {
                error = std::string(option) + " takes a number from " + std::to_string(number->lowest) + " to "
                    + std::to_string(number->highest) + ", not " + std::string(value);
                return false;
            }
            number->store(settings, *parsed);
        } else if (value == "interactive") {
            settings.passwordCost = PasswordCost::Interactive;
        } else if (value == "minimum") {
            settings.passwordCost = PasswordCost::Minimum;
        } else {
            error = "--password-cost takes interactive or minimum, not " + std::string(value);
            return false;
        }
    }
    return true;
}

std::string hostForDisplay(const std::string& host)
{
    return host.find(':') == std::string::npos ? host : "[" + host + "]";
}

// Why the service can't listen on host: a name that doesn't resolve is told as such; otherwise
// the port is taken, or the address is not one of this machine's.
std::string whyNotListening(const std::string& host)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (const int error = getaddrinfo(host.c_str(), nullptr, &hints, &found); error != 0)
        return std::string("the name does not resolve (") + gai_strerror(error) + ")";
    freeaddrinfo(found);
    return "the port is in use, or the address is not one of this machine's";
}

sigset_t stopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

// Until the service runs, a stop signal ends the program at once: nothing is served yet, opening
// the store can wait (on a store another program holds locked), and a write to the store cut short
// is undone by its journal.
extern "C" void stopWhileStarting(int)
{
    static constexpr char Stopped[] = "dorvane-devserver: stopped\n";
    static_cast<void>(write(STDERR_FILENO, Stopped, sizeof Stopped - 1));
    _exit(0);
}

void stopAtOnceWhileStarting()
{
    struct sigaction action {};
    action.sa_handler = stopWhileStarting;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// Blocked before any thread starts, so that every thread inherits the mask and only
// SignalStopper takes them; one that came meanwhile waits for it.
void blockStopSignals()
{
    const sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

// Stops the service when SIGINT or SIGTERM arrives, taken here with sigwait, so the stop runs as
// ordinary code, not inside a signal handler. A stop is final, so one that comes before serve()
// runs still ends it at once.
class SignalStopper {
public:
    explicit SignalStopper(WizardService& service)
        : m_service(service)
        , m_signals(stopSignals())
    {
        m_thread = std::thread([this] { run(); });
    }

    // Called once serve() has returned, whether a signal stopped it or not.
    ~SignalStopper()
    {
        m_served = true;
        if (!m_signalled)
            pthread_kill(m_thread.native_handle(), SIGTERM); // wakes sigwait
        m_thread.join();
    }

    SignalStopper(const SignalStopper&) = delete;
    SignalStopper& operator=(const SignalStopper&) = delete;

private:
    void run()
    {
        int signal = 0;
        sigwait(&m_signals, &signal);
        m_signalled = true;
        if (!m_served)
            m_service.stop();
    }

    WizardService& m_service;
    sigset_t m_signals {};
    std::atomic<bool> m_served = false;
    std::atomic<bool> m_signalled = false;
    std::thread m_thread;
};

// Thousands of peers need as many descriptors: the soft limit goes up to the hard one, and the
// connection limit stays below what is left.
void fitConnectionLimit(HttpServer::Limits& limits)
{
    rlimit files {};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0)
        return;
    if (files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
        getrlimit(RLIMIT_NOFILE, &files);
    }
    if (files.rlim_cur == RLIM_INFINITY)
        return;
    const rlim_t usable = files.rlim_cur > 2 * ReservedDescriptors ? files.rlim_cur - ReservedDescriptors
                                                                   : files.rlim_cur / 2;
    if (limits.maxConnections > usable)
        limits.maxConnections = static_cast<size_t>(usable);
}

} // namespace

int main(int argc, char** argv)
{
    stopAtOnceWhileStarting();
    Settings settings;
    std::string error;
    if (!parseArguments(argc, argv, settings, error)) {
        std::fprintf(stderr, "dorvane-devserver: %s\n%s", error.c_str(), Usage);
        return ExitUsage;
    }
    if (settings.help) {
        std::fputs(Usage, stdout);
        return 0;
    }

    AccountStore store;
    if (!store.open(settings.database)) {
        std::fprintf(stderr, "dorvane-devserver: %s\n", store.errorText().c_str());
        return ExitFailure;
    }
    if (const std::string notice = store.notice(); !notice.empty())
        std::fprintf(stderr, "dorvane-devserver: %s\n", notice.c_str());
    blockStopSignals();
    fitConnectionLimit(settings.limits);
    WizardService service(store, {settings.passwordCost, {}, settings.limits});
    const int port = service.bind(settings.host, settings.port);
    if (port < 0) {
        std::fprintf(stderr, "dorvane-devserver: cannot listen on %s:%d: %s\n", hostForDisplay(settings.host).c_str(),
            settings.port, whyNotListening(settings.host).c_str());
        return ExitFailure;
    }

    bool served = false;
    {
        SignalStopper stopper(service);
        // The socket is bound, so a client reading this line can connect at once.
        std::printf("listening on %s:%d\n", hostForDisplay(settings.host).c_str(), port);
        std::fflush(stdout);
        served = service.serve();
    }
    std::fprintf(stderr, "dorvane-devserver: stopped\n");
    return served ? 0 : ExitFailure;
}
