// dorvane-devserver: the service's wizard scripts on a local port, for trial runs and tests.
#include "AccountStore.h"
#include "WizardService.h"

#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <string>
#include <string_view>
#include <thread>

using namespace dorvane::devserver;

namespace {

constexpr int DefaultPort = 8080;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

constexpr const char* Usage = R"(Usage: dorvane-devserver [options]
Serves the Dorvane wizard scripts:
  GET /wizard_files/make_login.asp?userlogin=L&userpassword=P&email=E
      answers the new account's id (1, 2, ...), 0 when the login is taken (letter case
      ignored), -1/-2/-3 when login/password/e-mail is missing or empty, -4 when a field is
      longer than 256 bytes, -5 when a field holds a NUL byte, -6 when storing failed
  GET /wizard_files/make_usr.asp?id=N
      marks the account complete: 1, 0 for an unknown id, -1 for a missing or malformed id,
      -6 when storing failed
Options:
  --host HOST           address to listen on (default 127.0.0.1)
  --port N              port to listen on (default 8080); 0 picks a free one
  --db PATH             keep accounts in this SQLite file, created 0600 if missing
                        (default :memory:, forgotten when the service stops)
  --password-cost C     interactive (default) or minimum; minimum hashes are cheap and
                        meant for test suites only
  --help                show this text
Prints "listening on HOST:PORT" on standard output once it accepts connections, logs one
line per request on standard error (passwords masked) and stops on SIGINT or SIGTERM.
)";

struct Settings {
    std::string host = "127.0.0.1";
    int port = DefaultPort;
    std::string database = ":memory:";
    PasswordCost passwordCost = PasswordCost::Interactive;
    bool help = false;
};

std::optional<int> parsePort(std::string_view text)
{
    int port = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (error != std::errc() || end != text.data() + text.size() || port < 0 || port > 65535)
        return std::nullopt;
    return port;
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
        if (option != "--host" && option != "--port" && option != "--db" && option != "--password-cost") {
            error = "unknown option " + std::string(option);
            return false;
        }
        if (i + 1 >= argc) {
            error = std::string(option) + " needs a value";
            return false;
        }
        const std::string_view value = argv[++i];
        if (option == "--host") {
            settings.host = value;
        } else if (option == "--db") {
            settings.database = value;
        } else if (option == "--port") {
            const auto port = parsePort(value);
            if (!port) {
                error = "--port takes a number from 0 to 65535, not " + std::string(value);
                return false;
            }
            settings.port = *port;
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

// Stops the service when SIGINT or SIGTERM arrives. The signals are blocked in every thread and
// taken here with sigwait, so the stop runs as ordinary code, not inside a signal handler.
class SignalStopper {
public:
    explicit SignalStopper(WizardService& service)
        : m_service(service)
    {
        sigemptyset(&m_signals);
        sigaddset(&m_signals, SIGINT);
        sigaddset(&m_signals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &m_signals, nullptr);
        m_thread = std::thread([this] { run(); });
    }

    // Called once serve() has returned, whether a signal stopped it or not.
    ~SignalStopper()
    {
        {
            std::lock_guard lock(m_mutex);
            m_served = true;
        }
        m_condition.notify_all();
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
        // stop() is ignored until the accept loop runs, so a signal that comes right at start-up
        // asks again until serve() has returned.
        std::unique_lock lock(m_mutex);
        while (!m_served) {
            m_service.stop();
            m_condition.wait_for(lock, std::chrono::milliseconds(20));
        }
    }

    WizardService& m_service;
    sigset_t m_signals {};
    std::mutex m_mutex;
    std::condition_variable m_condition;
    bool m_served = false; // guarded by m_mutex
    std::atomic<bool> m_signalled = false;
    std::thread m_thread;
};

} // namespace

// cpp-httplib comes as an uninstrumented shared library whose workers share function-local
// statics with inlined guard checks that ThreadSanitizer can't see; interceptors called from it
// are ignored so that sanitizer runs report only this program's own races. Unused otherwise.
extern "C" const char* __tsan_default_suppressions()
{
    return "called_from_lib:libcpp-httplib.so\n";
}

int main(int argc, char** argv)
{
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
    WizardService service(store, {settings.passwordCost, {}});
    const int port = service.bind(settings.host, settings.port);
    if (port < 0) {
        std::fprintf(stderr, "dorvane-devserver: cannot listen on %s:%d (address in use or not local?)\n",
            hostForDisplay(settings.host).c_str(), settings.port);
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
