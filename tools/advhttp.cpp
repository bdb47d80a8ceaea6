// advhttp: one HTTP request through TAdvHttp from the command line. The body goes to stdout or a
// file as it arrives; -v prints each event with its fresh values to stderr.
//
//   advhttp -v http://127.0.0.1:8080/wizard_files/make_login.asp?userlogin=a
//   advhttp -X POST -H 'Content-Type: text/plain' -d hello -o answer.txt http://host/echo
//
// Exit status 0 when the request completed (whatever the HTTP status), 2 for bad usage, and 1
// with "advhttp: error CODE: MESSAGE" on stderr when the component reported a failure, in
// either mode (a body cut short fails even though the request completes).
#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "libloaderapi.h"
#include "synchapi.h"
#include "uAdvHttp.h"
#include "winbase.h"

namespace {

constexpr const char* Usage = R"(usage: advhttp [options] URL
  -X, --method METHOD        request method (default GET)
  -H, --header "Name: value" extra request header (repeatable)
  -d, --data TEXT            request body, sent with any method
      --data-file FILE       request body from a file
  -o, --output FILE          write the body to FILE instead of stdout
  -x, --proxy HOST[:PORT]    use this proxy (default: http_proxy/https_proxy/no_proxy)
  -u, --user USER[:PASSWORD] credentials for server authentication
  -U, --proxy-user USER[:PASSWORD]
                             credentials for proxy authentication
  -A, --user-agent TEXT      user agent (default "Tarnwick WinInet Component")
  -a, --accept TYPE          accept type (repeatable)
  -t, --connect-timeout MS   connect time-out in milliseconds (default 30000)
  -T, --receive-timeout MS   how long the server may stay silent, in milliseconds
                             (default 30000)
  -m, --max-time MS          how long the whole request may take, in milliseconds
                             (default: no limit)
      --cacert FILE|FOLDER   trust these certificate authorities instead of the system's
      --cert FILE            client certificate (PEM) for a server that asks for one
      --key FILE             the client certificate's key (PEM; default: in --cert's file)
  -f, --flags LIST           request flags: comma-separated members such as
                             ifNoAutoRedirect,-ifKeepConnection ("+"/no sign adds to the
                             defaults, "-" removes, "none" clears them all)
  -r, --auth-retries N       re-sends after 401/407 (default 3)
      --async                run the request asynchronously (worker thread)
  -n, --repeat N             perform the request N times over one component (default 1)
  -i, --include              print the response headers to stderr
  -v, --verbose              print each event with its fresh values to stderr
  -h, --help                 this text
)";

struct Options {
    std::string url;
    std::string method = "GET";
    std::vector<std::string> headers;
    std::vector<std::string> acceptTypes;
    std::optional<std::string> body;
    std::string output;
    std::string proxy;
    std::string user;
    std::string proxyUser;
    std::string userAgent;
    std::optional<std::int32_t> connectTimeout;
    std::optional<std::int32_t> receiveTimeout;
    std::optional<std::int32_t> maxTime;
    std::string certificateAuthorities;
    std::string clientCertificate;
    std::string clientKey;
    std::optional<std::int32_t> authRetries;
    std::vector<std::string> flagChanges;
    bool async = false;
    std::int32_t repeat = 1;
    bool include = false;
    bool verbose = false;
};

class UsageError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A failure found before the component could record it.
struct Failure {
    DWORD code;
    std::string message;
};

std::vector<std::string> SplitList(const std::string& text)
{
    std::vector<std::string> items;
    std::stringstream stream(text);
    for (std::string item; std::getline(stream, item, ',');)
        if (!item.empty())
            items.push_back(item);
    return items;
}

std::int32_t ParseNumber(const std::string& option, const std::string& text)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < 0 || value > INT32_MAX)
        throw UsageError(option + " takes a whole number, not \"" + text + "\"");
    return static_cast<std::int32_t>(value);
}

std::string ReadFile(const std::string& path)
{
    std::error_code error;
    if (std::filesystem::is_directory(path, error))
        throw UsageError(path + " is a folder, not a file");
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw UsageError("can't read " + path);
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad())
        throw UsageError("can't read " + path);
    return content.str();
}

// An HTTP method is a token: letters, digits and a few marks.
bool IsMethod(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte > 0x20 && byte < 0x7F && std::strchr("\"(),/:;<=>?@[\\]{}", c) == nullptr;
    });
}

TInternetFlags ApplyFlagChanges(TInternetFlags flags, const std::vector<std::string>& changes)
{
    for (const std::string& change : changes) {
        if (change == "none") {
            flags = TInternetFlags{};
            continue;
        }
        const bool remove = change[0] == '-';
        const std::string name = (change[0] == '-' || change[0] == '+') ? change.substr(1) : change;
        bool known = false;
        for (int member = 0; member < InternetFlagCount; ++member) {
            if (InternetFlagTable[member].Name != name)
                continue;
            known = true;
            if (remove)
                flags.Exclude(static_cast<TInternetFlag>(member));
            else
                flags.Include(static_cast<TInternetFlag>(member));
        }
        if (!known)
            throw UsageError("unknown flag " + name);
    }
    return flags;
}

Options ParseArguments(const QStringList& arguments)
{
    Options options;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const std::string argument = arguments[i].toLocal8Bit().toStdString();
        auto value = [&]() -> std::string {
            if (i + 1 >= arguments.size())
                throw UsageError(argument + " needs a value");
            return arguments[++i].toLocal8Bit().toStdString();
        };
        if (argument == "-h" || argument == "--help") {
            std::fputs(Usage, stdout);
            std::exit(0);
        } else if (argument == "-X" || argument == "--method") {
            options.method = value();
            if (!IsMethod(options.method))
                throw UsageError("\"" + options.method + "\" is no HTTP method");
        } else if (argument == "-H" || argument == "--header") {
            options.headers.push_back(value());
        } else if (argument == "-d" || argument == "--data") {
            options.body = value();
        } else if (argument == "--data-file") {
            options.body = ReadFile(value());
        } else if (argument == "-o" || argument == "--output") {
            options.output = value();
        } else if (argument == "-x" || argument == "--proxy") {
            options.proxy = value();
        } else if (argument == "-u" || argument == "--user") {
            options.user = value();
        } else if (argument == "-U" || argument == "--proxy-user") {
            options.proxyUser = value();
        } else if (argument == "-A" || argument == "--user-agent") {
            options.userAgent = value();
        } else if (argument == "-a" || argument == "--accept") {
            options.acceptTypes.push_back(value());
        } else if (argument == "-t" || argument == "--connect-timeout") {
            options.connectTimeout = ParseNumber(argument, value());
        } else if (argument == "-T" || argument == "--receive-timeout") {
            options.receiveTimeout = ParseNumber(argument, value());
        } else if (argument == "-m" || argument == "--max-time") {
            options.maxTime = ParseNumber(argument, value());
        } else if (argument == "--cacert") {
            options.certificateAuthorities = value();
        } else if (argument == "--cert") {
            options.clientCertificate = value();
        } else if (argument == "--key") {
            options.clientKey = value();
        } else if (argument == "-r" || argument == "--auth-retries") {
            options.authRetries = ParseNumber(argument, value());
        } else if (argument == "-f" || argument == "--flags") {
            for (const std::string& change : SplitList(value()))
                options.flagChanges.push_back(change);
        } else if (argument == "-n" || argument == "--repeat") {
            options.repeat = ParseNumber(argument, value());
            if (options.repeat < 1)
                throw UsageError(argument + " needs a count of at least 1");
        } else if (argument == "--async") {
            options.async = true;
        } else if (argument == "-i" || argument == "--include") {
            options.include = true;
        } else if (argument == "-v" || argument == "--verbose") {
            options.verbose = true;
        } else if (!argument.empty() && argument[0] == '-') {
            throw UsageError("unknown option " + argument);
        } else if (options.url.empty()) {
            options.url = argument;
        } else {
            throw UsageError("only one URL, please");
        }
    }
    if (options.url.empty())
        throw UsageError("no URL given");
    (void)ApplyFlagChanges(TInternetFlags{}, options.flagChanges); // unknown names are usage errors
    return options;
}

std::pair<std::string, std::string> SplitCredentials(const std::string& text)
{
    const auto colon = text.find(':');
    if (colon == std::string::npos)
        return {text, {}};
    return {text.substr(0, colon), text.substr(colon + 1)};
}

std::string InfoText(const TAdvHttp& http)
{
    const auto* info = static_cast<const char*>(http.StatusInfo());
    if (info == nullptr || http.StatusInfoLength() == 0)
        return {};
    return std::string(info, strnlen(info, http.StatusInfoLength()));
}

// Prints "name key=value ..." for each event on stderr, from whatever thread fires it.
class EventLog {
public:
    void Print(const std::string& line)
    {
        std::lock_guard lock(m_lock);
        std::fprintf(stderr, "%s\n", line.c_str());
    }

private:
    std::mutex m_lock;
};

// What one round of requests came to, told by the handlers from whatever thread fires them.
class Outcome {
public:
    void Reset()
    {
        std::lock_guard lock(m_lock);
        m_completed = false;
        m_failure = 0;
    }
    void Complete()
    {
        std::lock_guard lock(m_lock);
        m_completed = true;
        m_changed.notify_all();
    }
    // The first failure of the round is the one reported.
    void Fail(DWORD code)
    {
        std::lock_guard lock(m_lock);
        if (m_failure == 0)
            m_failure = code;
        m_changed.notify_all();
    }
    bool Completed()
    {
        std::lock_guard lock(m_lock);
        return m_completed;
    }
    DWORD Failure()
    {
        std::lock_guard lock(m_lock);
        return m_failure;
    }
    // An asynchronous request has ended when OnRequestComplete came, or when a failure was
    // recorded and the component has signalled CompletionEvent: a failure is recorded before
    // the request closes, and one that ends a request without OnRequestComplete (a failed send,
    // abandoned authentication) signals the event too. Waiting for both makes the outcome the
    // same whatever the timing.
    void WaitForEnd(HANDLE completionEvent)
    {
        for (;;) {
            {
                std::unique_lock lock(m_lock);
                if (m_completed)
                    return;
            }
            const bool signalled = WaitForSingleObject(completionEvent, 20) == WAIT_OBJECT_0;
            if (signalled && Failure() != 0)
                return;
        }
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_completed = false;
    DWORD m_failure = 0;
};

void ConnectVerboseEvents(TAdvHttp& http, EventLog& log)
{
    auto named = [&log](const char* name, auto values) {
        return [&log, name, values](TObject* sender) {
            log.Print(std::string("* ") + name + values(*static_cast<TAdvHttp*>(sender)));
        };
    };
    auto none = [](const TAdvHttp&) { return std::string(); };
    auto info = [](const TAdvHttp& h) { return " info=\"" + InfoText(h) + "\""; };
    auto address = [](const TAdvHttp& h) { return " address=" + h.ServerAddress(); };
    http.OnResolvingName = named("ResolvingName", info);
    http.OnNameResolved = named("NameResolved", address);
    http.OnConnectingToServer = named("ConnectingToServer", address);
    http.OnConnectedToServer = named("ConnectedToServer", address);
    http.OnSendingRequest = named("SendingRequest", none);
    http.OnRequestSent = named("RequestSent", [](const TAdvHttp& h) {
        return " bytes=" + std::to_string(h.BytesSent());
    });
    http.OnReceivingResponse = named("ReceivingResponse", none);
    http.OnResponseReceived = named("ResponseReceived", [](const TAdvHttp& h) {
        return " bytes=" + std::to_string(h.BytesReceived()) + " total=" + std::to_string(h.TotalBytesReceived());
    });
    http.OnRedirect = named("Redirect", [](const TAdvHttp& h) { return " url=" + h.RedirectURL(); });
    http.OnIntermediateResponse = named("IntermediateResponse", none);
    http.OnStateChange = named("StateChange", [](const TAdvHttp& h) {
        return " length=" + std::to_string(h.StatusInfoLength());
    });
    http.OnClosingConnection = named("ClosingConnection", none);
    http.OnConnectionClosed = named("ConnectionClosed", none);
    http.OnNeedAuth = named("NeedAuth", [](const TAdvHttp& h) { return " status=" + std::to_string(h.StatusCode()); });
    http.OnNeedProxyAuth = named("NeedProxyAuth", [](const TAdvHttp& h) {
        return " status=" + std::to_string(h.StatusCode());
    });
}

void Configure(TAdvHttp& http, const Options& options)
{
    if (!options.userAgent.empty())
        http.SetUserAgent(options.userAgent);
    http.SetProxy(options.proxy);
    try {
        http.SetURL(options.url);
    } catch (const EInetError&) {
        throw;
    } catch (const Exception& error) {
        // A scheme other than http or https: reported like any failure, with its code.
        throw Failure{ERROR_INTERNET_UNRECOGNIZED_SCHEME, error.Message()};
    }
    http.SetMethod(options.method);
    if (options.body)
        http.SetText(*options.body);
    TStringList lines;
    for (const std::string& header : options.headers)
        lines.Add(header);
    http.SetRequestHeaders(lines);
    TStringList types;
    for (const std::string& type : options.acceptTypes)
        types.Add(type);
    http.SetAcceptTypes(types);
    if (options.connectTimeout)
        http.SetConnectTimeout(*options.connectTimeout);
    if (options.authRetries)
        http.SetAuthRetries(*options.authRetries);
    if (options.maxTime)
        http.SetRequestTimeout(static_cast<DWORD>(*options.maxTime));
    http.SetCertificateAuthorities(options.certificateAuthorities);
    http.SetClientCertificate(options.clientCertificate);
    http.SetClientKey(options.clientKey);
    // The body goes out as it arrives and is not kept, so a body of any size passes.
    http.SetKeepResponseBody(false);
    http.SetInternetFlags(ApplyFlagChanges(http.InternetFlags(), options.flagChanges));
    if (options.receiveTimeout) {
        // The component has no receive time-out of its own; it takes the process's default.
        DWORD timeout = static_cast<DWORD>(*options.receiveTimeout);
        InternetSetOptionA(nullptr, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
    }
    if (!options.user.empty()) {
        const auto credentials = SplitCredentials(options.user);
        http.SetUserName(credentials.first);
        http.SetPassword(credentials.second);
    }
    if (!options.proxyUser.empty()) {
        // Named copies: a lambda can't capture a structured binding before C++20 compilers
        // caught up (clang 14 refuses it).
        const auto credentials = SplitCredentials(options.proxyUser);
        http.OnNeedProxyAuth = [user = credentials.first, password = credentials.second,
                                previous = http.OnNeedProxyAuth](TObject* sender) {
            if (previous)
                previous(sender);
            auto* component = static_cast<TAdvHttp*>(sender);
            component->SetProxyUserName(user);
            component->SetProxyPassword(password);
        };
    }
    // Answers come from the options, never from a dialog.
    http.SetDefaultUi(false);
}

void ReportFailure(DWORD code, const std::string& message)
{
    std::fprintf(stderr, "advhttp: error %u: %s\n", code, message.c_str());
}

// Runs the requests; true when every one completed without a failure.
bool Perform(TAdvHttp& http, const Options& options, std::FILE* out)
{
    EventLog log;
    Outcome outcome;
    // Failures are read from OnError in both modes, so that both run the same way: a failure
    // the request went through fails the run even when the request completes.
    http.SetRaiseExceptions(false);
    if (options.verbose)
        ConnectVerboseEvents(http, log);
    std::atomic<bool> writeFailed = false;
    http.OnDataAvailable = [&](TObject*) {
        if (options.verbose)
            log.Print("* DataAvailable position=" + std::to_string(http.ChunkPosition()) +
                      " size=" + std::to_string(http.ChunkSize()) + " read=" + std::to_string(http.BytesRead()));
        const std::string_view chunk = http.Chunk();
        if (std::fwrite(chunk.data(), 1, chunk.size(), out) != chunk.size())
            writeFailed = true;
    };
    http.OnRequestComplete = [&](TObject*) {
        if (options.verbose)
            log.Print("* RequestComplete status=" + std::to_string(http.StatusCode()) +
                      " read=" + std::to_string(http.BytesRead()));
        outcome.Complete();
    };
    http.OnError = [&](TObject*) {
        const DWORD code = http.LastError();
        if (options.verbose)
            log.Print("* Error code=" + std::to_string(code));
        outcome.Fail(code);
    };

    bool succeeded = true;
    try {
        Configure(http, options);
        for (std::int32_t round = 0; round < options.repeat && succeeded; ++round) {
            outcome.Reset();
            ResetEvent(http.CompletionEvent());
            const bool started = http.Execute(!options.async);
            if (started && options.async)
                outcome.WaitForEnd(http.CompletionEvent());
            if (options.include)
                std::fprintf(stderr, "%s", http.ResponseHeaders().Text().c_str());
            DWORD failure = outcome.Failure();
            if (failure == 0 && !outcome.Completed())
                failure = http.LastError() != 0 ? http.LastError() : ERROR_INTERNET_INTERNAL_ERROR;
            if (failure != 0) {
                ReportFailure(failure, http.ErrorText(failure));
                succeeded = false;
            }
        }
    } catch (const EInetError& error) {
        ReportFailure(http.LastError(), error.Message());
        succeeded = false;
    } catch (const Failure& failure) {
        ReportFailure(failure.code, failure.message);
        succeeded = false;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "advhttp: %s\n", error.what());
        succeeded = false;
    }
    if (writeFailed) {
        std::fprintf(stderr, "advhttp: writing the body failed\n");
        succeeded = false;
    }
    return succeeded;
}

int Run(const Options& options)
{
    std::FILE* out = stdout;
    if (!options.output.empty()) {
        out = std::fopen(options.output.c_str(), "wb");
        if (out == nullptr) {
            std::fprintf(stderr, "advhttp: can't write %s: %s\n", options.output.c_str(), std::strerror(errno));
            return 1;
        }
    }
    bool succeeded = false;
    {
        // No windowed owner: handlers run on the thread that fires them. The component goes
        // before the file it writes to.
        TAdvHttp http(nullptr);
        succeeded = Perform(http, options, out);
    }
    // What stdio still held is written now; a failure here is reported unless one was already.
    if (std::fflush(out) != 0 && succeeded) {
        std::fprintf(stderr, "advhttp: writing the body failed\n");
        succeeded = false;
    }
    if (out != stdout)
        std::fclose(out);
    return succeeded ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    try {
        return Run(ParseArguments(QCoreApplication::arguments()));
    } catch (const UsageError& error) {
        std::fprintf(stderr, "advhttp: %s\n%s", error.what(), Usage);
        return 2;
    }
}
