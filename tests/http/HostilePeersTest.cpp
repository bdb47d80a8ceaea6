// Hostile peers: one row per way a response can go wrong, each played by a scripted loopback
// peer to the Internet client layer, to the component in both modes and to advhttp in both
// modes, with what each must make of it. A new way a server misbehaves is a new row.
//
// The outcome of a row, for every client: the failure code (0: the request completes), the
// final status, and the body (what arrived before a failure). The layer also says where it
// failed (the send or a read); the component adds the events it fires, in order, a run of the
// same event folded into one; advhttp exits 1 on a failure and 0 otherwise, in both modes,
// and writes the body it got. Silent peers meet a receive time-out of 0.3 s, so that no row
// waits more than 3 s.
//
// The component runs every row in every mode (synchronous and asynchronous, raising and not,
// each kind of owner), and each time one rule holds: the request ends exactly once, in
// OnRequestComplete and a true Execute exactly when its response was read whole, else in one
// OnError with LastError holding the failure's code to the end, Text empty, and a synchronous
// Execute false or raising.
#include <QObject>
#include <QProcess>
#include <QWidget>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "HttpTestHelpers.h"
#include "errhandlingapi.h"
#include "ScriptedServer.h"
#include "synchapi.h"
#include "uAdvHttp.h"
#include "wininet.h"

using dorvane::test::Script;
using dorvane::test::ScriptedServer;
using dorvane::test::Step;
using namespace std::chrono_literals;

namespace {

constexpr DWORD ReceiveTimeoutMs = 300;

enum class Stage { Send, Read };

struct Row {
    const char* tag;
    Script script;
    DWORD error;        // 0: the request completes
    Stage stage;        // where the layer reports the failure
    DWORD status;       // the final status (0: none came)
    std::string body;   // the body, or what arrived before the failure
    const char* events; // the component's, in order, runs folded
    DWORD layerError = ~DWORD{0}; // when the layer differs from the component (it answers no 401)
    const char* user = "";        // credentials given to every client, "user:password"
};

// ---- the peers' scripts ----

std::string Head(const std::string& statusLine, const std::string& headers = {})
{
    return statusLine + "\r\n" + headers + "\r\n";
}

std::string Ok(const std::string& body, const std::string& headers = {})
{
    return dorvane::test::httpResponse(200, body, headers);
}

Script Answer(const std::string& bytes, std::vector<std::size_t> splitAt = {})
{
    return {Step::readRequest(), Step::send(bytes, std::move(splitAt)), Step::close()};
}

// The same answer to every request on every connection.
Script Always(const std::string& bytes)
{
    return {Step::readRequest(), Step::send(bytes), Step::repeat()};
}

Script ThenReset(const std::string& bytes)
{
    return {Step::readRequest(), Step::send(bytes), Step::stall(100ms), Step::reset()};
}

Script ThenSilent(const std::string& bytes)
{
    return {Step::readRequest(), Step::send(bytes), Step::stall(10s)};
}

std::string Chunked(const std::string& chunks)
{
    return Head("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n") + chunks;
}

std::string Redirect(int status, const std::string& location)
{
    return Head("HTTP/1.1 " + std::to_string(status) + " Moved", "Location: " + location + "\r\nContent-Length: 0\r\n");
}

std::string Challenge(const std::string& headers)
{
    return Head("HTTP/1.1 401 Unauthorized", headers + "Content-Length: 6\r\n") + "denied";
}

const std::string Cut = Head("HTTP/1.1 200 OK", "Content-Length: 100\r\n") + "only this";
const std::string Many = std::string(30000, 'h');

std::vector<Row> Rows()
{
    const std::string okBody = "fine";
    return {
        // Status line
        {"statusWithoutReason", Answer("HTTP/1.1 200\r\nContent-Length: 4\r\n\r\nfine"), 0, Stage::Send, 200, okBody,
         "data complete"},
        {"statusOutsideTheKnownRange", Answer(dorvane::test::httpResponse(599, okBody)), 0, Stage::Send, 599, okBody,
         "data complete"},
        {"statusNotANumber", Answer("HTTP/1.1 2x0 OK\r\nContent-Length: 4\r\n\r\nfine"),
         ERROR_HTTP_INVALID_SERVER_RESPONSE, Stage::Send, 0, "", "error"},
        {"anotherProtocol", Answer("SSH-2.0-OpenSSH_9.2\r\n\r\n"), ERROR_HTTP_INVALID_SERVER_RESPONSE, Stage::Send, 0,
         "", "error"},
        {"http10BodyToTheClose", Answer("HTTP/1.0 200 OK\r\n\r\nuntil the end"), 0, Stage::Send, 200, "until the end",
         "data complete"},
        {"statusLineOnly", Answer("HTTP/1.1 200 OK\r\n"), ERROR_INTERNET_CONNECTION_ABORTED, Stage::Send, 0, "",
         "error"},
        // The library reads these too, and follows or answers the code it found: refused, so
        // that the code, head and body reported are those of one response.
        {"twoBlanksBeforeTheCode", Answer(Head("HTTP/1.1  302 Found", "Location: /ok\r\nContent-Length: 0\r\n")),
         ERROR_HTTP_INVALID_SERVER_RESPONSE, Stage::Send, 0, "", "error"},
        {"lowerCaseVersion", Answer("http/1.1 200 OK\r\nContent-Length: 4\r\n\r\nfine"),
         ERROR_HTTP_INVALID_SERVER_RESPONSE, Stage::Send, 0, "", "error"},
        {"switchingProtocolsUnasked", Answer(Head("HTTP/1.1 101 Switching", "Upgrade: x\r\nConnection: Upgrade\r\n") + "hello"),
         ERROR_HTTP_INVALID_SERVER_RESPONSE, Stage::Send, 0, "", "error"},
        {"escapeInTheReason", Answer("HTTP/1.1 200 \x1b[2J\r\nContent-Length: 4\r\n\r\nfine"),
         ERROR_HTTP_INVALID_SERVER_RESPONSE, Stage::Send, 0, "", "error"},
        // Headers
        {"foldedLineRightAfterTheStatus", Answer(Head("HTTP/1.1 200 OK", " folded: x\r\nContent-Length: 4\r\n") + okBody),
         ERROR_HTTP_INVALID_SERVER_RESPONSE, Stage::Send, 0, "", "error"},
        {"foldedLineLater", Answer(Head("HTTP/1.1 200 OK", "X-Fold: a\r\n  b\r\nContent-Length: 4\r\n") + okBody),
         ERROR_HTTP_INVALID_SERVER_RESPONSE, Stage::Send, 0, "", "error"},
        {"foldedTransferCoding",
         Answer(Head("HTTP/1.1 200 OK", "Transfer-Encoding:\r\n chunked\r\n") + "4\r\nfine\r\n0\r\n\r\n"),
         ERROR_HTTP_INVALID_SERVER_RESPONSE, Stage::Send, 0, "", "error"},
        {"bareCarriageReturnInAValue",
         Answer(Head("HTTP/1.1 200 OK", "X-A: x\rContent-Length: 2\r\nContent-Length: 4\r\n") + okBody),
         ERROR_HTTP_INVALID_SERVER_RESPONSE, Stage::Send, 0, "", "error"},
        {"escapeInAValue", Answer(Head("HTTP/1.1 200 OK", "X-A: \x1b]0;t\x07\r\nContent-Length: 4\r\n") + okBody),
         ERROR_HTTP_INVALID_SERVER_RESPONSE, Stage::Send, 0, "", "error"},
        {"tabInAValue", Answer(Head("HTTP/1.1 200 OK", "X-A: a\tb\r\nContent-Length: 4\r\n") + okBody), 0,
         Stage::Send, 200, okBody, "data complete"},
        {"twoLocations", Answer(Head("HTTP/1.1 302 Found", "Location: /a\r\nLocation: /b\r\nContent-Length: 0\r\n")),
         ERROR_HTTP_INVALID_SERVER_RESPONSE, Stage::Send, 0, "", "error"},
        {"headerWithoutColon", Answer(Head("HTTP/1.1 200 OK", "NoColonHere\r\nContent-Length: 4\r\n") + okBody),
         ERROR_HTTP_INVALID_SERVER_RESPONSE, Stage::Send, 0, "", "error"},
        {"conflictingContentLengths",
         Answer(Head("HTTP/1.1 200 OK", "Content-Length: 4\r\nContent-Length: 9\r\n") + okBody),
         ERROR_HTTP_INVALID_SERVER_RESPONSE, Stage::Send, 0, "", "error"},
        {"negativeContentLength", Answer(Head("HTTP/1.1 200 OK", "Content-Length: -4\r\n") + okBody),
         ERROR_HTTP_INVALID_SERVER_RESPONSE, Stage::Send, 0, "", "error"},
        // A length is a plain decimal number within 64 bits, or the response is refused: the
        // library would read "0x10" as 0, "5abc" as 5, and a length past 64 bits whole.
        {"hexContentLength", Answer(Head("HTTP/1.1 200 OK", "Content-Length: 0x10\r\n") + "sixteen bytes..."),
         ERROR_HTTP_INVALID_SERVER_RESPONSE, Stage::Send, 0, "", "error"},
        {"lettersAfterTheContentLength", Answer(Head("HTTP/1.1 200 OK", "Content-Length: 5abc\r\n") + "fine!"),
         ERROR_HTTP_INVALID_SERVER_RESPONSE, Stage::Send, 0, "", "error"},
        {"aLetterAfterTheContentLength", Answer(Head("HTTP/1.1 200 OK", "Content-Length: 4x\r\n") + okBody),
         ERROR_HTTP_INVALID_SERVER_RESPONSE, Stage::Send, 0, "", "error"},
        {"twentyDigitContentLength",
         Answer(Head("HTTP/1.1 200 OK", "Content-Length: 99999999999999999999\r\n") + "fine!"),
         ERROR_HTTP_INVALID_SERVER_RESPONSE, Stage::Send, 0, "", "error"},
        {"nineteenDigitsPastTheRange",
         Answer(Head("HTTP/1.1 200 OK", "Content-Length: 9223372036854775808\r\n") + okBody),
         ERROR_HTTP_INVALID_SERVER_RESPONSE, Stage::Send, 0, "", "error"},
        {"contentLengthWithANine", Answer(Head("HTTP/1.1 200 OK", "Content-Length: 9\r\n") + "nine byte"), 0,
         Stage::Send, 200, "nine byte", "data complete"},
        {"twentyDigitsWithLeadingZeros",
         Answer(Head("HTTP/1.1 200 OK", "Content-Length: 00000000000000000004\r\n") + okBody), 0, Stage::Send, 200,
         okBody, "data complete"},
        {"nineteenDigitsWithinTheRange",
         Answer(Head("HTTP/1.1 200 OK", "Content-Length: 9223372036854775807\r\n") + okBody),
         ERROR_INTERNET_CONNECTION_ABORTED, Stage::Read, 200, okBody, "data error"},
        {"bareLineFeeds", Answer("HTTP/1.1 200 OK\nContent-Length: 4\n\nfine"), 0, Stage::Send, 200, okBody,
         "data complete"},
        {"headersBeyondTheComponentsBuffer", Answer(Ok(okBody, "X-Filler: " + std::string(9000, 'f') + "\r\n")), 0,
         Stage::Send, 200, okBody, "data complete"},
        // Framing
        {"badChunkSize", Answer(Chunked("4\r\nfine\r\nzz\r\nmore\r\n0\r\n\r\n")), ERROR_INTERNET_CONNECTION_ABORTED,
         Stage::Read, 200, okBody, "data error"},
        {"chunkSizeOverflow", Answer(Chunked("FFFFFFFFFFFFFFFFFF\r\nfine\r\n0\r\n\r\n")),
         ERROR_INTERNET_CONNECTION_ABORTED, Stage::Read, 200, "", "error"},
        {"noLastChunk", Answer(Chunked("4\r\nfine\r\n")), ERROR_INTERNET_CONNECTION_ABORTED, Stage::Read, 200, okBody,
         "data error"},
        {"chunkExtensionsAndTrailers", Answer(Chunked("4;name=value\r\nfine\r\n0\r\nX-Trailer: t\r\n\r\n")), 0,
         Stage::Send, 200, okBody, "data complete"},
        {"moreBodyThanAnnounced", Answer(Ok(okBody) + "surplus"), 0, Stage::Send, 200, okBody, "data complete"},
        {"chunkedWinsOverContentLength",
         Answer(Head("HTTP/1.1 200 OK", "Content-Length: 99\r\nTransfer-Encoding: chunked\r\n") + "4\r\nfine\r\n0\r\n\r\n"),
         0, Stage::Send, 200, okBody, "data complete"},
        // Early close
        {"bodyCutShort", Answer(Cut), ERROR_INTERNET_CONNECTION_ABORTED, Stage::Read, 200, "only this",
         "data error"},
        {"closedBeforeAnswering", {Step::readRequest(), Step::close()}, ERROR_INTERNET_CONNECTION_ABORTED,
         Stage::Send, 0, "", "error"},
        {"closedInTheHead", Answer("HTTP/1.1 200 OK\r\nContent-Le"), ERROR_INTERNET_CONNECTION_ABORTED, Stage::Send,
         0, "", "error"},
        {"closedRightAfterTheHead", Answer(Head("HTTP/1.1 200 OK", "Content-Length: 4\r\n")),
         ERROR_INTERNET_CONNECTION_ABORTED, Stage::Read, 200, "", "error"},
        // Resets
        {"resetBeforeAnswering", {Step::readRequest(), Step::reset()}, ERROR_INTERNET_CONNECTION_RESET, Stage::Send,
         0, "", "error"},
        {"resetInTheHead", ThenReset("HTTP/1.1 200 OK\r\nX-A: 1\r\n"), ERROR_INTERNET_CONNECTION_RESET, Stage::Send,
         0, "", "error"},
        {"resetMidBody", ThenReset(Cut), ERROR_INTERNET_CONNECTION_RESET, Stage::Read, 200, "only this",
         "data error"},
        {"resetAfterAWholeAnswer", ThenReset(Ok(okBody)), 0, Stage::Send, 200, okBody, "data complete"},
        // Interim answers
        {"continue100", Answer(Head("HTTP/1.1 100 Continue") + Ok(okBody)), 0, Stage::Send, 200, okBody,
         "interim data complete"},
        {"processing102", Answer(Head("HTTP/1.1 102 Processing") + Ok(okBody)), 0, Stage::Send, 200, okBody,
         "interim data complete"},
        {"earlyHints103", Answer(Head("HTTP/1.1 103 Early Hints", "Link: </a.css>; rel=preload\r\n") + Ok(okBody)), 0,
         Stage::Send, 200, okBody, "interim data complete"},
        {"threeInterimAnswers", Answer(Head("HTTP/1.1 100 Continue") + Head("HTTP/1.1 102 Processing") +
                                       Head("HTTP/1.1 103 Early Hints") + Ok(okBody)),
         0, Stage::Send, 200, okBody, "interim data complete"},
        {"interimThenClose", Answer(Head("HTTP/1.1 100 Continue")), ERROR_INTERNET_CONNECTION_ABORTED, Stage::Send, 0,
         "", "interim error"},
        {"interimInPieces", Answer(Head("HTTP/1.1 103 Early Hints") + Ok(okBody), {3, 20, 30}), 0, Stage::Send, 200,
         okBody, "interim data complete"},
        // Redirects
        {"redirectLoop", Always(Redirect(302, "/loop")), ERROR_HTTP_REDIRECT_FAILED, Stage::Send, 0, "",
         "redirect error"},
        {"redirectToAnotherScheme", Answer(Redirect(302, "ftp://127.0.0.1/file")), ERROR_HTTP_REDIRECT_FAILED,
         Stage::Send, 0, "", "redirect error"},
        {"redirectWithoutLocation", Answer(dorvane::test::httpResponse(302, "moved")), 0, Stage::Send, 302, "moved",
         "data complete"},
        {"locationWithASpace", {Step::readRequest(), Step::send(Redirect(302, "/a b")), Step::readRequest(),
                                Step::send(Ok(okBody)), Step::close()},
         0, Stage::Send, 200, okBody, "redirect data complete"},
        {"redirectChainEnds", {Step::readRequest(), Step::send(Redirect(301, "/a")), Step::readRequest(),
                               Step::send(Redirect(307, "b")), Step::readRequest(), Step::send(Ok(okBody)),
                               Step::close()},
         0, Stage::Send, 200, okBody, "redirect data complete"},
        {"redirectToAClosedPort", Answer(Redirect(302, "http://127.0.0.1:1/")), ERROR_INTERNET_CANNOT_CONNECT,
         Stage::Send, 0, "", "redirect error"},
        // Authentication loops
        {"challengeForever", Always(Challenge("WWW-Authenticate: Basic realm=\"r\"\r\n")),
         ERROR_INTERNET_LOGIN_FAILURE, Stage::Send, 401, "denied", "needauth error", 0},
        {"challengeForeverDespiteCredentials", Always(Challenge("WWW-Authenticate: Basic realm=\"r\"\r\n")),
         ERROR_INTERNET_LOGIN_FAILURE, Stage::Send, 401, "denied", "needauth error", 0, "alice:secret"},
        {"challengeWithoutScheme", Always(Challenge("")), ERROR_INTERNET_LOGIN_FAILURE, Stage::Send, 401,
         "denied", "needauth error", 0, "alice:secret"},
        {"challengeOfAnUnknownScheme", Always(Challenge("WWW-Authenticate: Frobnicate x=1\r\n")),
         ERROR_INTERNET_LOGIN_FAILURE, Stage::Send, 401, "denied", "needauth error", 0, "alice:secret"},
        {"proxyChallengeWithoutProxy",
         Always(Head("HTTP/1.1 407 Proxy Authentication Required", "Content-Length: 2\r\n") + "no"),
         ERROR_INTERNET_LOGIN_FAILURE, Stage::Send, 407, "no", "needproxyauth error", 0},
        // Slow and silent peers
        {"silentAfterTheRequest", {Step::readRequest(), Step::stall(10s)}, ERROR_INTERNET_TIMEOUT, Stage::Send, 0,
         "", "error"},
        {"silentInTheHead", ThenSilent("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n"), ERROR_INTERNET_TIMEOUT,
         Stage::Send, 0, "", "error"},
        {"silentMidBody", ThenSilent(Cut), ERROR_INTERNET_TIMEOUT, Stage::Read, 200, "only this",
         "data error"},
        {"silentAfterAnInterimAnswer", ThenSilent(Head("HTTP/1.1 100 Continue")), ERROR_INTERNET_TIMEOUT,
         Stage::Send, 0, "", "interim error"},
        {"slowButSteady", Answer(Ok("0123456789"), {30, 40, 44, 46, 48}), 0, Stage::Send, 200, "0123456789",
         "data complete"},
        // Huge heads
        {"tenMegabyteHeaderLine", Answer(Head("HTTP/1.1 200 OK", "X-Big: " + std::string(10 << 20, 'b') + "\r\n")),
         ERROR_HTTP_INVALID_SERVER_RESPONSE, Stage::Send, 0, "", "error"},
        {"hugeLocation", Answer(Redirect(302, "/" + std::string(200 << 10, 'l'))), ERROR_HTTP_INVALID_SERVER_RESPONSE,
         Stage::Send, 0, "", "error"},
        {"tooManySmallHeaders", Answer(Ok(okBody, [] {
             std::string lines;
             for (int i = 0; i < 30000; ++i)
                 lines += "X-" + std::to_string(i) + ": v\r\n";
             return lines;
         }())),
         ERROR_HTTP_INVALID_SERVER_RESPONSE, Stage::Send, 0, "", "error"},
        {"hugeStatusLine", Answer("HTTP/1.1 200 " + std::string(200 << 10, 'r') + "\r\nContent-Length: 4\r\n\r\nfine"),
         ERROR_HTTP_INVALID_SERVER_RESPONSE, Stage::Send, 0, "", "error"},
        {"manyHeadersWithinTheLimit", Answer(Ok(okBody, "X-Many: " + Many + "\r\n")), 0, Stage::Send, 200, okBody,
         "data complete"},
    };
}

void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.tag;
}

struct Outcome {
    DWORD error = 0;
    Stage stage = Stage::Send;
    DWORD status = 0;
    std::string body;
};

std::string Credential(const char* user, bool password)
{
    const std::string text = user;
    const std::size_t colon = text.find(':');
    return password ? text.substr(colon + 1) : text.substr(0, colon);
}

Outcome ThroughTheLayer(const Row& row, int port)
{
    Outcome outcome;
    HINTERNET internet = InternetOpenA("Hostile Test", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    HINTERNET connection = InternetConnectA(internet, "127.0.0.1", static_cast<INTERNET_PORT>(port), nullptr, nullptr,
                                            INTERNET_SERVICE_HTTP, 0, 0);
    HINTERNET request = HttpOpenRequestA(connection, "GET", "/", nullptr, nullptr, nullptr, 0, 0);
    if (*row.user != '\0') {
        std::string user = Credential(row.user, false);
        std::string password = Credential(row.user, true);
        InternetSetOptionA(connection, INTERNET_OPTION_USERNAME, user.data(), static_cast<DWORD>(user.size()));
        InternetSetOptionA(connection, INTERNET_OPTION_PASSWORD, password.data(), static_cast<DWORD>(password.size()));
    }
    if (!HttpSendRequestA(request, nullptr, 0, nullptr, 0)) {
        outcome.error = GetLastError();
    } else {
        DWORD length = sizeof outcome.status;
        EXPECT_TRUE(HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &outcome.status,
                                   &length, nullptr));
        outcome.stage = Stage::Read;
        char buffer[16384];
        for (;;) {
            DWORD count = 0;
            if (!InternetReadFile(request, buffer, sizeof buffer, &count)) {
                outcome.error = GetLastError();
                break;
            }
            if (count == 0)
                break;
            outcome.body.append(buffer, count);
        }
    }
    InternetCloseHandle(internet);
    return outcome;
}

// Records the significant events in order, a run of one event folded into one.
class EventTrace {
public:
    void Add(const char* name)
    {
        std::lock_guard lock(m_lock);
        if (m_last != name)
            m_text += (m_text.empty() ? "" : " ") + std::string(name);
        m_last = name;
    }
    std::string Text() const
    {
        std::lock_guard lock(m_lock);
        return m_text;
    }

private:
    mutable std::mutex m_lock;
    std::string m_text;
    std::string m_last;
};

std::string TextOf(DWORD code)
{
    const TAdvHttp http(nullptr);
    return http.ErrorText(code);
}

enum class Owner { None, ObjectEventsOnItsThread, Widget };

struct Mode {
    bool synchronous;
    bool raising;
    Owner owner;
};

std::string Describe(const Mode& mode)
{
    const char* owners[] = {"no owner", "object owner, events on its thread", "widget owner"};
    return std::string("component, ") + (mode.synchronous ? "synchronous, " : "asynchronous, ") +
           (mode.raising ? "raising, " : "not raising, ") + owners[static_cast<int>(mode.owner)];
}

std::vector<Mode> EveryMode()
{
    std::vector<Mode> modes;
    for (const bool synchronous : {true, false}) {
        for (const bool raising : {false, true}) {
            for (const Owner owner : {Owner::None, Owner::ObjectEventsOnItsThread, Owner::Widget})
                modes.push_back({synchronous, raising, owner});
        }
    }
    return modes;
}

struct ComponentOutcome {
    bool result = false;
    std::string raised;    // the message of what Execute raised
    DWORD whyNot = 0;      // the thread's last error after a false result
    int completes = 0;
    int errors = 0;
    DWORD errorSeen = 0;   // LastError inside OnError
    DWORD error = 0;       // LastError at the end
    DWORD status = 0;
    std::string text;
    std::string body;
    std::string events;
};

ComponentOutcome ThroughTheComponent(const Row& row, int port, const Mode& mode)
{
    std::unique_ptr<QObject> owner;
    if (mode.owner == Owner::ObjectEventsOnItsThread)
        owner = std::make_unique<QObject>();
    else if (mode.owner == Owner::Widget)
        owner = std::make_unique<QWidget>();
    auto* http = new TAdvHttp(owner.get());
    const std::unique_ptr<TAdvHttp> ownerless(owner ? nullptr : http);
    if (mode.owner == Owner::ObjectEventsOnItsThread)
        http->SetEventThread(TEventThread::Own);
    http->SetURL("http://127.0.0.1:" + std::to_string(port) + "/");
    http->SetRaiseExceptions(mode.raising);
    http->SetDefaultUi(false);
    if (*row.user != '\0') {
        http->SetUserName(Credential(row.user, false));
        http->SetPassword(Credential(row.user, true));
    }
    EventTrace trace;
    std::atomic<int> completes{0};
    std::atomic<int> errors{0};
    std::atomic<DWORD> errorSeen{0};
    http->OnIntermediateResponse = [&](TObject*) { trace.Add("interim"); };
    http->OnRedirect = [&](TObject*) { trace.Add("redirect"); };
    http->OnNeedAuth = [&](TObject*) { trace.Add("needauth"); };
    http->OnNeedProxyAuth = [&](TObject*) { trace.Add("needproxyauth"); };
    http->OnDataAvailable = [&](TObject*) { trace.Add("data"); };
    http->OnError = [&](TObject* sender) {
        trace.Add("error");
        errorSeen = static_cast<TAdvHttp*>(sender)->LastError();
        ++errors;
    };
    http->OnRequestComplete = [&](TObject*) {
        trace.Add("complete");
        ++completes;
    };
    ComponentOutcome outcome;
    ResetEvent(http->CompletionEvent());
    try {
        outcome.result = http->Execute(mode.synchronous);
        outcome.whyNot = outcome.result ? 0 : GetLastError();
    } catch (const EInetError& error) {
        outcome.raised = error.what();
    }
    // Over once CompletionEvent is signalled: the last event is through, and no more may follow.
    EXPECT_TRUE(httptest::WaitFor([&] { return WaitForSingleObject(http->CompletionEvent(), 0) == WAIT_OBJECT_0; }, 5s))
        << "events so far: " << trace.Text();
    EXPECT_FALSE(http->Busy());
    outcome.completes = completes;
    outcome.errors = errors;
    outcome.errorSeen = errorSeen;
    outcome.error = http->LastError();
    outcome.status = http->StatusCode();
    outcome.text = http->Text();
    outcome.body = http->ResponseBody();
    outcome.events = trace.Text();
    return outcome;
}

struct ToolOutcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

ToolOutcome ThroughAdvHttp(const Row& row, int port, bool async)
{
    QStringList arguments{"-T", QString::number(ReceiveTimeoutMs)};
    if (async)
        arguments << "--async";
    if (*row.user != '\0')
        arguments << "-u" << row.user;
    arguments << QString("http://127.0.0.1:%1/").arg(port);
    QProcess process;
    process.start(ADVHTTP_PATH, arguments);
    ToolOutcome outcome;
    if (!process.waitForFinished(20000) || process.exitStatus() != QProcess::NormalExit)
        return outcome;
    outcome.exitCode = process.exitCode();
    outcome.out = process.readAllStandardOutput().toStdString();
    outcome.err = process.readAllStandardError().toStdString();
    return outcome;
}

class HostilePeers : public testing::TestWithParam<Row> {
protected:
    static void SetUpTestSuite()
    {
        DWORD timeout = ReceiveTimeoutMs;
        InternetSetOptionA(nullptr, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
    }
};

TEST_P(HostilePeers, EveryClientMakesTheSameOfIt)
{
    const Row& row = GetParam();
    const auto short_ = [](const std::string& text) { return text.size() > 200 ? text.substr(0, 200) + "..." : text; };
    {
        SCOPED_TRACE("layer");
        ScriptedServer peer(row.script);
        const Outcome layer = ThroughTheLayer(row, peer.port());
        const DWORD error = row.layerError != ~DWORD{0} ? row.layerError : row.error;
        EXPECT_EQ(layer.error, error);
        if (error != 0) {
            EXPECT_EQ(layer.stage == Stage::Send, row.stage == Stage::Send);
        }
        EXPECT_EQ(layer.status, row.status);
        EXPECT_EQ(short_(layer.body), short_(row.body));
    }
    const bool readWhole = row.error == 0;
    const std::string body = row.error == ERROR_INTERNET_LOGIN_FAILURE ? "" : row.body; // a refusal's page is not read
    for (const Mode& mode : EveryMode()) {
        SCOPED_TRACE(Describe(mode));
        ScriptedServer peer(row.script);
        const ComponentOutcome component = ThroughTheComponent(row, peer.port(), mode);
        EXPECT_EQ(component.completes + component.errors, 1) << "exactly one ending";
        EXPECT_EQ(component.completes, readWhole ? 1 : 0);
        EXPECT_EQ(component.error, row.error);
        if (!readWhole) {
            EXPECT_EQ(component.errorSeen, row.error) << "the code OnError saw is the one kept";
        }
        // Asynchronously Execute returns once the request is sent, which every row's is.
        EXPECT_EQ(component.result, readWhole || !mode.synchronous);
        if (mode.synchronous && !readWhole && mode.raising) {
            EXPECT_EQ(component.raised, TextOf(row.error)) << "the message is ErrorText(LastError())";
        } else {
            EXPECT_EQ(component.raised, "");
        }
        if (!component.result && component.raised.empty()) {
            EXPECT_EQ(component.whyNot, row.error);
        }
        EXPECT_EQ(component.events, row.events);
        if (row.status != 0) {
            EXPECT_EQ(component.status, row.status);
        }
        EXPECT_EQ(short_(component.body), short_(body));
        EXPECT_EQ(short_(component.text), readWhole ? short_(std::string(body.c_str())) : "");
    }
    for (const bool async : {false, true}) {
        SCOPED_TRACE(async ? "advhttp --async" : "advhttp");
        ScriptedServer peer(row.script);
        const ToolOutcome tool = ThroughAdvHttp(row, peer.port(), async);
        EXPECT_EQ(tool.exitCode, readWhole ? 0 : 1) << tool.err;
        EXPECT_EQ(short_(tool.out), short_(body));
        if (!readWhole) {
            EXPECT_NE(tool.err.find("advhttp: error " + std::to_string(row.error) + ":"), std::string::npos)
                << tool.err;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, HostilePeers, testing::ValuesIn(Rows()),
                         [](const testing::TestParamInfo<Row>& info) { return std::string(info.param.tag); });

} // namespace
