// Synchronous requests end to end against servers on 127.0.0.1: what Execute(true) leaves in
// Text, StatusCode, LastError and Busy, which events fire, and what goes on the wire.
#include <QWidget>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "EventLog.h"
#include "HttpTestHelpers.h"
#include "errhandlingapi.h"
#include "LocalHttpServer.h"
#include "ScriptedServer.h"
#include "TestCertificates.h"
#include "uAdvHttp.h"

using dorvane::test::EventLog;
using dorvane::test::LocalHttpServer;
using dorvane::test::ScriptedServer;
using dorvane::test::Step;

namespace {

std::string PatternBody(std::size_t size)
{
    std::string body(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        body[i] = static_cast<char>('a' + i % 26);
    return body;
}

// 2 GiB, a tenth of it under the sanitizers, which slow every copy down.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t HugeBodySize = std::size_t{205} << 20;
#else
constexpr std::size_t HugeBodySize = std::size_t{2} << 30;
#endif

// The pattern of every body here, long enough to serve any piece from any offset.
const std::string& Pattern()
{
    static const std::string pattern = PatternBody((1 << 16) + 26);
    return pattern;
}

// The memory the process holds now.
std::size_t ResidentBytes()
{
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    std::size_t resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

class TAdvHttpRequest : public testing::Test {
protected:
    void SetUp() override
    {
        server.server().Get("/hello", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("Hello", "text/plain");
        });
        server.server().Get("/missing", [](const httplib::Request&, httplib::Response& res) {
            res.status = 404;
            res.set_content("There is no such page", "text/html");
        });
        server.server().Get("/auth", [this](const httplib::Request&, httplib::Response& res) {
            std::lock_guard lock(mutex);
            ++authHits;
            res.status = 401;
            res.set_header("WWW-Authenticate", "Basic realm=\"test\"");
            res.set_content("denied", "text/plain");
        });
        server.server().Get("/big", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(PatternBody(40000), "application/octet-stream");
        });
        server.server().Get("/huge", [](const httplib::Request&, httplib::Response& res) {
            res.set_content_provider(HugeBodySize, "application/octet-stream",
                                     [](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                         const std::size_t piece = std::min<std::size_t>(length, 1 << 16);
                                         return sink.write(Pattern().data() + offset % 26, piece);
                                     });
        });
        server.server().Get("/nul", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string("ab\0cd", 5), "application/octet-stream");
        });
        ASSERT_TRUE(server.start());
    }

    std::string Url(const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(server.port()) + path;
    }

    std::unique_ptr<TAdvHttp> MakeHttp(const std::string& path, QObject* owner = nullptr)
    {
        auto http = std::make_unique<TAdvHttp>(owner);
        http->SetURL(Url(path));
        http->SetDefaultUi(false);
        return http;
    }

    LocalHttpServer server; // declared first: components made in a test go before it
    std::mutex mutex;
    int authHits = 0;
};

TEST_F(TAdvHttpRequest, SuccessLeavesTheWholeBodyInText)
{
    auto http = MakeHttp("/hello");
    int completions = 0;
    http->OnRequestComplete = [&](TObject*) { ++completions; };
    ASSERT_TRUE(http->Execute(true));
    EXPECT_EQ(http->Text(), "Hello");
    EXPECT_EQ(http->StatusCode(), 200u);
    EXPECT_EQ(http->LastError(), 0u);
    EXPECT_EQ(http->BytesRead(), 5u);
    ASSERT_GT(http->ResponseHeaders().Count(), 0u);
    EXPECT_EQ(http->ResponseHeaders()[0].rfind("HTTP/1.1 200", 0), 0u) << http->ResponseHeaders()[0];
    EXPECT_EQ(completions, 1);
    EXPECT_FALSE(http->Busy());
}

TEST_F(TAdvHttpRequest, AnErrorStatusIsNoFailureAndItsPageIsRead)
{
    auto http = MakeHttp("/missing");
    int completions = 0;
    int errors = 0;
    http->OnRequestComplete = [&](TObject*) { ++completions; };
    http->OnError = [&](TObject*) { ++errors; };
    ASSERT_TRUE(http->Execute(true));
    EXPECT_EQ(http->StatusCode(), 404u);
    EXPECT_EQ(http->Text(), "There is no such page");
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(errors, 0);
}

TEST_F(TAdvHttpRequest, AnUnreachableServerFailsAsRaiseExceptionsSays)
{
    for (bool raise : {false, true}) {
        auto http = MakeHttp("/hello");
        ASSERT_TRUE(http->Execute(true));
        ASSERT_EQ(http->Text(), "Hello");
        http->SetURL("http://127.0.0.1:" + std::to_string(httptest::RefusedPort()) + "/hello");
        http->SetRaiseExceptions(raise);
        int errors = 0;
        DWORD errorSeen = 0;
        http->OnError = [&](TObject* sender) {
            ++errors;
            errorSeen = static_cast<TAdvHttp*>(sender)->LastError();
        };
        if (raise) {
            try {
                static_cast<void>(http->Execute(true));
                ADD_FAILURE() << "no exception";
            } catch (const EInetError& error) {
                EXPECT_EQ(error.Message(), http->ErrorText(http->LastError()));
                EXPECT_FALSE(error.Message().empty());
            }
        } else {
            EXPECT_FALSE(http->Execute(true));
        }
        EXPECT_EQ(http->Text(), "") << "the body is emptied at the start";
        EXPECT_EQ(http->LastError(), ERROR_INTERNET_CANNOT_CONNECT);
        EXPECT_EQ(errors, 1);
        EXPECT_EQ(errorSeen, ERROR_INTERNET_CANNOT_CONNECT);
        EXPECT_FALSE(http->Busy()) << "the failed request is closed";

        http->SetURL(Url("/hello")); // and the component is ready for the next one
        ASSERT_TRUE(http->Execute(true));
        EXPECT_EQ(http->Text(), "Hello");
    }
}

TEST_F(TAdvHttpRequest, BadServersEndInAClearFailure)
{
    struct Case {
        const char* tag;
        std::unique_ptr<ScriptedServer> peer;
        DWORD expected;
    };
    std::vector<Case> cases;
    cases.push_back({"notHttp",
                     std::make_unique<ScriptedServer>(dorvane::test::Script{
                         Step::readRequest(), Step::send("SSH-2.0-not-a-web-server\r\n\r\n"), Step::close()}),
                     ERROR_HTTP_INVALID_SERVER_RESPONSE});
    cases.push_back({"acceptsNothing",
                     std::make_unique<ScriptedServer>(std::vector<dorvane::test::Script>{{}},
                                                      ScriptedServer::Mode::AcceptNothing),
                     ERROR_INTERNET_TIMEOUT});
    for (Case& c : cases) {
        auto http = std::make_unique<TAdvHttp>(nullptr);
        http->SetURL("http://127.0.0.1:" + std::to_string(c.peer->port()) + "/");
        http->SetRaiseExceptions(false);
        http->SetConnectTimeout(300);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_FALSE(http->Execute(true)) << c.tag;
        EXPECT_EQ(http->LastError(), c.expected) << c.tag;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10)) << c.tag;
        EXPECT_FALSE(http->Busy()) << c.tag;
        EXPECT_EQ(http->Text(), "") << c.tag;
    }
}

TEST_F(TAdvHttpRequest, AMethodThatIsNoHttpTokenIsRefusedBeforeAnythingIsSent)
{
    for (const char* method : {"GE T", "GET\r\nX-Injected: 1", ""}) {
        auto http = MakeHttp("/hello");
        http->SetMethod(method);
        try {
            static_cast<void>(http->Execute(true));
            ADD_FAILURE() << "no exception for '" << method << "'";
        } catch (const EInetError& error) {
            EXPECT_NE(error.Message().find("not a valid HTTP method"), std::string::npos);
        }
        EXPECT_EQ(http->LastError(), ERROR_INVALID_PARAMETER);
        EXPECT_FALSE(http->Busy());
    }
}

// A 401 is answered only with credentials the server has not refused yet: those OnNeedAuth
// writes (the credential prompt of DefaultUi asks only when it writes none), at most
// AuthRetries times. Then the request fails as a failed login.
TEST_F(TAdvHttpRequest, AuthenticationIsRetriedOnlyWithNewCredentialsAndAtMostAuthRetriesTimes)
{
    struct Case {
        const char* tag;
        int retries;
        bool defaultUi;
        bool newCredentials; // OnNeedAuth writes a password not tried yet (else the one in force)
        int sends;           // requests that reached the component (each 401 fires OnNeedAuth)
    };
    for (const Case& c : {Case{"newCredentialsEachTime", 3, false, true, 4},
                          Case{"noRetriesAllowed", 0, false, true, 1},
                          Case{"handlerWritesTheSameAgain", 3, false, false, 1},
                          Case{"handlerCredentialsWinOverThePrompt", 2, true, true, 3}}) {
        SCOPED_TRACE(c.tag);
        auto http = MakeHttp("/auth");
        http->SetRaiseExceptions(false);
        http->SetDefaultUi(c.defaultUi);
        http->SetAuthRetries(c.retries);
        http->SetUserName("alice");
        http->SetPassword("first");
        int needAuth = 0;
        int errors = 0;
        int completions = 0;
        http->OnNeedAuth = [&](TObject* sender) {
            ++needAuth;
            if (c.newCredentials)
                static_cast<TAdvHttp*>(sender)->SetPassword("guess" + std::to_string(needAuth));
            else
                static_cast<TAdvHttp*>(sender)->SetPassword("first");
        };
        http->OnError = [&](TObject*) { ++errors; };
        http->OnRequestComplete = [&](TObject*) { ++completions; };
        EXPECT_FALSE(http->Execute(true)) << "a request that was refused is no success";
        EXPECT_EQ(GetLastError(), ERROR_INTERNET_LOGIN_FAILURE);
        EXPECT_EQ(needAuth, c.sends);
        EXPECT_EQ(http->LastError(), ERROR_INTERNET_LOGIN_FAILURE);
        EXPECT_EQ(http->ErrorText(http->LastError()),
                  "The login failed: the server (or proxy) asks for credentials and none it accepts were given.");
        EXPECT_EQ(errors, 1);
        EXPECT_EQ(completions, 0);
        EXPECT_EQ(http->Text(), "");
        EXPECT_EQ(http->StatusCode(), 401u);
        EXPECT_FALSE(http->Busy()) << "the abandoned request is closed";
    }
}

// The head that went out on connection i, and what followed it.
struct Wire {
    std::string head;
    std::string body;
};

Wire Received(const ScriptedServer& peer, std::size_t connection)
{
    std::string bytes = peer.received(connection);
    std::size_t end = bytes.find("\r\n\r\n");
    if (end == std::string::npos)
        return {bytes, {}};
    return {bytes.substr(0, end + 2), bytes.substr(end + 4)};
}

dorvane::test::Script AnswerOnce()
{
    return {Step::readRequest(), Step::send(dorvane::test::httpResponse(200, "ok", "Connection: close\r\n")),
            Step::close()};
}

TEST_F(TAdvHttpRequest, RequestHeadersAndBodyGoOutWithEveryGet)
{
    ScriptedServer peer(AnswerOnce());
    auto http = std::make_unique<TAdvHttp>(nullptr);
    http->SetURL("http://127.0.0.1:" + std::to_string(peer.port()) + "/e?x=1");
    http->SetRequestHeaders(TStringList({"A: 1", "B: 2"}));
    http->SetText("body");
    ASSERT_TRUE(http->Execute(true));
    ASSERT_TRUE(http->Execute(true));
    ASSERT_TRUE(peer.waitForFinished(2));
    for (std::size_t connection : {0u, 1u}) {
        Wire wire = Received(peer, connection);
        EXPECT_EQ(wire.head.rfind("GET /e?x=1 HTTP/1.1\r\n", 0), 0u) << wire.head;
        EXPECT_NE(wire.head.find("\r\nA: 1\r\nB: 2\r\n"), std::string::npos) << wire.head;
        EXPECT_NE(wire.head.find("Content-Length: 4\r\n"), std::string::npos) << wire.head;
        EXPECT_EQ(wire.body, "body");
    }
    EXPECT_EQ(http->Text(), "ok");
}

TEST_F(TAdvHttpRequest, AnAgentWrittenDuringARequestTakesEffectAtTheNextOne)
{
    ScriptedServer peer(AnswerOnce());
    auto http = std::make_unique<TAdvHttp>(nullptr);
    http->SetURL("http://127.0.0.1:" + std::to_string(peer.port()) + "/");
    http->OnDataAvailable = [](TObject* sender) { static_cast<TAdvHttp*>(sender)->SetUserAgent("Second Agent"); };
    ASSERT_TRUE(http->Execute(true));
    EXPECT_EQ(http->Text(), "ok") << "the running request is not cut";
    http->OnDataAvailable = nullptr;
    ASSERT_TRUE(http->Execute(true));
    ASSERT_TRUE(peer.waitForFinished(2));
    EXPECT_NE(Received(peer, 0).head.find("User-Agent: Tarnwick WinInet Component\r\n"), std::string::npos);
    EXPECT_NE(Received(peer, 1).head.find("User-Agent: Second Agent\r\n"), std::string::npos)
        << Received(peer, 1).head;
    http->SetUserAgent("Third Agent"); // not busy: reopened at once
    ASSERT_TRUE(http->Execute(true));
}

TEST_F(TAdvHttpRequest, TheUrlGoesOutAsWritten)
{
    ScriptedServer peer(AnswerOnce());
    auto http = std::make_unique<TAdvHttp>(nullptr);
    http->SetURL("http://127.0.0.1:" + std::to_string(peer.port()) + "/make_login.asp?userlogin=a%26b&pw=%41");
    ASSERT_TRUE(http->Execute(true));
    ASSERT_TRUE(peer.waitForFinished(1));
    EXPECT_EQ(Received(peer, 0).head.rfind("GET /make_login.asp?userlogin=a%26b&pw=%41 HTTP/1.1\r\n", 0), 0u)
        << Received(peer, 0).head;
}

TEST_F(TAdvHttpRequest, AcceptTypesEndAtTheFirstEmptyLine)
{
    struct Case {
        const char* tag;
        std::vector<std::string> lines;
        bool acceptSent;
    };
    for (const Case& c : {Case{"emptyFirstLine", {"", "text/html"}, false}, Case{"none", {}, false},
                          Case{"two", {"text/html", "text/plain"}, true}}) {
        ScriptedServer peer(AnswerOnce());
        auto http = std::make_unique<TAdvHttp>(nullptr);
        http->SetURL("http://127.0.0.1:" + std::to_string(peer.port()) + "/");
        http->SetAcceptTypes(TStringList(c.lines));
        ASSERT_TRUE(http->Execute(true)) << c.tag;
        ASSERT_TRUE(peer.waitForFinished(1));
        std::string head = Received(peer, 0).head;
        EXPECT_EQ(head.find("Accept:") != std::string::npos, c.acceptSent) << c.tag << "\n" << head;
        if (c.acceptSent) {
            EXPECT_NE(head.find("text/html"), std::string::npos);
            EXPECT_NE(head.find("text/plain"), std::string::npos);
        }
    }
}

TEST_F(TAdvHttpRequest, ABodyOfSeveralChunksIsAppendedInOrder)
{
    auto http = MakeHttp("/big");
    struct Chunk {
        DWORD position, size, bytesRead;
    };
    std::vector<Chunk> chunks;
    http->OnDataAvailable = [&](TObject* sender) {
        auto* h = static_cast<TAdvHttp*>(sender);
        chunks.push_back({h->ChunkPosition(), h->ChunkSize(), h->BytesRead()});
    };
    ASSERT_TRUE(http->Execute(true));
    ASSERT_GE(chunks.size(), 3u);
    DWORD sum = 0;
    for (const Chunk& chunk : chunks) {
        EXPECT_EQ(chunk.position, sum);
        EXPECT_LE(chunk.size, TAdvHttp::ChunkReadSize);
        sum += chunk.size;
        EXPECT_EQ(chunk.bytesRead, sum);
    }
    EXPECT_EQ(http->BytesRead(), 40000u);
    EXPECT_EQ(http->Text(), PatternBody(40000));
}

TEST_F(TAdvHttpRequest, ContentLengthIsThePlainDecimalNumberTheServerSentForAnUncodedBody)
{
    struct Case {
        const char* tag;
        const char* value;
        const char* body;
        std::int64_t expected;
    };
    const Case cases[] = {
        {"aNine", "9", "nine byte", 9},
        {"nineteenDigitsWithinTheRange", "9223372036854775807", "cut", 9223372036854775807},
        {"twentyDigitsWithLeadingZeros", "00000000000000000004", "four", 4},
        {"zero", "0", "", 0},
        // The library frames the body by its chunks and ignores the length, so it is unknown.
        {"besideAChunkedBody", "3\r\nTransfer-Encoding: chunked", "4\r\nfine\r\n0\r\n\r\n",
         TAdvHttp::UnknownContentLength},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        ScriptedServer peer({Step::readRequest(),
                             Step::send("HTTP/1.1 200 OK\r\nContent-Length: " + std::string(c.value) + "\r\n\r\n" +
                                        c.body),
                             Step::close()});
        TAdvHttp http(nullptr);
        http.SetURL("http://127.0.0.1:" + std::to_string(peer.port()) + "/");
        http.SetRaiseExceptions(false);
        std::int64_t whileReading = TAdvHttp::UnknownContentLength;
        http.OnDataAvailable = [&](TObject*) { whileReading = http.ContentLength(); };
        static_cast<void>(http.Execute(true));
        EXPECT_EQ(http.ContentLength(), c.expected);
        if (*c.body != '\0') {
            EXPECT_EQ(whileReading, c.expected) << "known for progress";
        }
    }
}

// A kept body stops at ResponseBodyLimit with a failure of its own; a body not kept is only
// handed to OnDataAvailable, chunk by chunk, whatever its size.
TEST_F(TAdvHttpRequest, TheBodyIsKeptUpToItsLimitOrOnlyHandedToOnDataAvailable)
{
    struct Case {
        const char* tag;
        bool keep;
        std::size_t limit;
        DWORD error;
        std::size_t kept;
    };
    const Case cases[] = {
        {"keptWithinTheLimit", true, 40000, 0, 40000},
        {"keptPastTheLimit", true, 39999, ERROR_FILE_TOO_LARGE, 32768},
        {"notKeptPastTheLimit", false, 10, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        auto http = MakeHttp("/big");
        http->SetKeepResponseBody(c.keep);
        http->SetResponseBodyLimit(c.limit);
        std::string chunks;
        DWORD position = 0;
        http->OnDataAvailable = [&](TObject*) {
            EXPECT_EQ(http->ChunkPosition(), position);
            EXPECT_EQ(http->Chunk().size(), http->ChunkSize());
            position += http->ChunkSize();
            chunks += http->Chunk();
        };
        std::string message;
        try {
            EXPECT_TRUE(http->Execute(true));
        } catch (const EInetError& error) {
            message = error.Message();
        }
        EXPECT_EQ(http->LastError(), c.error);
        EXPECT_EQ(http->ResponseBody().size(), c.kept);
        EXPECT_EQ(http->ResponseBody(), chunks.substr(0, c.kept));
        if (c.error == 0) {
            EXPECT_EQ(chunks, PatternBody(40000));
            EXPECT_EQ(http->BytesRead(), 40000u);
        } else {
            EXPECT_EQ(message, "The response body is longer than ResponseBodyLimit allows (39999 bytes)");
            EXPECT_EQ(http->ErrorText(c.error), "The file size exceeds the limit allowed and cannot be saved.");
        }
        EXPECT_EQ(http->Chunk(), "") << "nothing to read once the request is over";
    }
}

// The whole body passes through OnDataAvailable in order while the memory held stays far below
// its size (a kept body would hold all of it).
TEST_F(TAdvHttpRequest, ABodyNotKeptPassesWholeInBoundedMemoryWhateverItsSize)
{
    for (const bool synchronous : {true, false}) {
        SCOPED_TRACE(synchronous ? "synchronous" : "asynchronous");
        auto http = MakeHttp("/huge");
        http->SetKeepResponseBody(false);
        const std::size_t before = ResidentBytes();
        std::size_t grownMost = 0;
        std::uint64_t received = 0;
        std::atomic<bool> matches = true;
        std::atomic<bool> complete = false;
        http->OnDataAvailable = [&](TObject*) {
            const std::string_view chunk = http->Chunk();
            if (std::memcmp(chunk.data(), Pattern().data() + received % 26, chunk.size()) != 0)
                matches = false;
            received += chunk.size();
            if (received % (std::uint64_t{64} << 20) < chunk.size())
                grownMost = std::max(grownMost, ResidentBytes() - std::min(before, ResidentBytes()));
        };
        http->OnRequestComplete = [&](TObject*) { complete = true; };
        ASSERT_TRUE(http->Execute(synchronous));
        ASSERT_TRUE(httptest::WaitFor([&] { return complete.load(); }, std::chrono::minutes(2)));
        EXPECT_EQ(received, HugeBodySize);
        EXPECT_TRUE(matches) << "every chunk in its place";
        EXPECT_EQ(http->ResponseBody(), "");
        EXPECT_EQ(http->LastError(), 0u);
        EXPECT_LT(grownMost, std::size_t{64} << 20) << "the body is not kept";
        EXPECT_EQ(http->ContentLength(), static_cast<std::int64_t>(HugeBodySize));
    }
}

// A server that drips its answer, or never answers the secure handshake, can't hold a request
// for long: RequestTimeout bounds the whole request, ReceiveTimeout the handshake too.
TEST_F(TAdvHttpRequest, ASlowServerHoldsARequestNoLongerThanItsTimeOuts)
{
    std::vector<std::size_t> everyByte(200);
    for (std::size_t i = 0; i < everyByte.size(); ++i)
        everyByte[i] = 40 + i;
    struct Case {
        const char* tag;
        dorvane::test::Script script;
        bool secure;
        DWORD requestTimeout;
        DWORD receiveTimeout;
    };
    const Case cases[] = {
        // 200 bytes 50 ms apart: 10 s, never silent for long.
        {"drip", {Step::readRequest(),
                  Step::send(dorvane::test::httpResponse(200, std::string(200, 'd')), everyByte,
                             std::chrono::milliseconds(50)),
                  Step::close()},
         false, 300, 0},
        {"silentHandshake", {Step::stall(std::chrono::seconds(10))}, true, 0, 300},
    };
    for (const Case& c : cases) {
        for (const bool synchronous : {true, false}) {
            SCOPED_TRACE(std::string(c.tag) + (synchronous ? ", synchronous" : ", asynchronous"));
            ScriptedServer peer(c.script);
            TAdvHttp http(nullptr);
            http.SetURL(std::string(c.secure ? "https" : "http") + "://127.0.0.1:" + std::to_string(peer.port()) + "/");
            http.SetRaiseExceptions(false);
            http.SetRequestTimeout(c.requestTimeout);
            http.SetReceiveTimeout(c.receiveTimeout);
            std::atomic<int> errors = 0;
            http.OnError = [&](TObject*) { ++errors; };
            const auto started = std::chrono::steady_clock::now();
            static_cast<void>(http.Execute(synchronous));
            EXPECT_TRUE(httptest::WaitFor([&] { return errors > 0 && !http.Busy(); }));
            EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
            EXPECT_EQ(http.LastError(), ERROR_INTERNET_TIMEOUT);
        }
    }
}

// The certificates of a component's own: the authorities it trusts instead of the process's,
// and the certificate it shows a server that asks. The start flags check who issued the
// server's certificate, not its name or dates; the guide's one line turns both checks on.
TEST_F(TAdvHttpRequest, CertificatesAreTheComponentsOwnAndCheckedAsItsFlagsSay)
{
    using dorvane::test::IssuedCertificate;
    using dorvane::test::TestCertificates;
    using V = TestCertificates::Validity;
    TestCertificates pki;
    TestCertificates other("Another Test Authority");
    const IssuedCertificate client = pki.issue("client.test");
    struct Case {
        const char* tag;
        const char* name;
        V validity;
        bool bothChecks;
        const TestCertificates* trusted;
        bool asksForACertificate;
        DWORD error;
    };
    const Case cases[] = {
        {"startFlagsIgnoreTheName", "wrong.test", V::Current, false, &pki, false, 0},
        {"startFlagsIgnoreTheDates", "127.0.0.1", V::Expired, false, &pki, false, 0},
        {"startFlagsCheckTheIssuer", "127.0.0.1", V::Current, false, &other, false, ERROR_INTERNET_INVALID_CA},
        {"bothChecksRefuseAWrongName", "wrong.test", V::Current, true, &pki, false, ERROR_INTERNET_SEC_CERT_CN_INVALID},
        {"bothChecksRefuseAnExpiredCertificate", "127.0.0.1", V::Expired, true, &pki, false,
         ERROR_INTERNET_SEC_CERT_DATE_INVALID},
        {"bothChecksPassAGoodCertificate", "127.0.0.1", V::Current, true, &pki, false, 0},
        {"aClientCertificateWhereTheServerAsks", "127.0.0.1", V::Current, true, &pki, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        const IssuedCertificate issued = pki.issue(c.name, c.validity);
        LocalHttpServer https(std::make_unique<httplib::SSLServer>(
            issued.certificateFile.c_str(), issued.keyFile.c_str(),
            c.asksForACertificate ? pki.authorityFile().c_str() : nullptr));
        https.server().Get("/", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("secret", "text/plain");
        });
        ASSERT_TRUE(https.start());
        TAdvHttp http(nullptr);
        http.SetURL("https://127.0.0.1:" + std::to_string(https.port()) + "/");
        http.SetRaiseExceptions(false);
        if (c.bothChecks)
            http.SetInternetFlags({ifIgnoreRedirectToHttp, ifIgnoreRedirectToHttps, ifKeepConnection, ifNoUi, ifReload});
        http.SetCertificateAuthorities(c.trusted->authorityFile());
        if (c.asksForACertificate) {
            http.SetClientCertificate(client.certificateFile);
            http.SetClientKey(client.keyFile);
        }
        EXPECT_EQ(http.Execute(true), c.error == 0);
        EXPECT_EQ(http.LastError(), c.error);
        EXPECT_EQ(http.Text(), c.error == 0 ? "secret" : "");
    }
}

TEST_F(TAdvHttpRequest, TextEndsAtTheFirstZeroByte)
{
    auto http = MakeHttp("/nul");
    ASSERT_TRUE(http->Execute(true));
    EXPECT_EQ(http->Text(), "ab");
    EXPECT_EQ(http->BytesRead(), 5u);
}

TEST_F(TAdvHttpRequest, AStartWhileBusyFailsAndLeavesTheRunningRequestAlone)
{
    for (bool raise : {true, false}) {
        auto http = MakeHttp("/big");
        http->SetRaiseExceptions(raise);
        int refused = 0;
        http->OnDataAvailable = [&](TObject* sender) {
            auto* h = static_cast<TAdvHttp*>(sender);
            try {
                if (!h->Execute(true))
                    ++refused;
            } catch (const EInetError&) {
                ++refused;
            }
        };
        ASSERT_TRUE(http->Execute(true));
        EXPECT_GE(refused, 3);
        EXPECT_EQ(http->Text(), PatternBody(40000));
        EXPECT_EQ(http->LastError(), 0u);
        EXPECT_FALSE(http->Busy());
    }
}

TEST_F(TAdvHttpRequest, EventsOfAWindowedComponentRunOnTheCallersThreadInOrder)
{
    QWidget form;
    auto http = MakeHttp("/hello", &form);
    EventLog<std::string> events;
    std::string connectedTo;
    DWORD bytesSent = 0;
    http->OnConnectingToServer = events.recorder("connecting");
    http->OnConnectedToServer = [&](TObject* sender) {
        events.add("connected");
        connectedTo = static_cast<TAdvHttp*>(sender)->ServerAddress();
    };
    http->OnSendingRequest = events.recorder("sending");
    http->OnRequestSent = [&](TObject* sender) {
        events.add("sent");
        bytesSent = static_cast<TAdvHttp*>(sender)->BytesSent();
    };
    http->OnResponseReceived = events.recorder("received");
    http->OnDataAvailable = events.recorder("data");
    http->OnRequestComplete = events.recorder("complete");
    ASSERT_TRUE(http->Execute(true));
    EXPECT_TRUE(events.allOnThread());
    EXPECT_EQ(connectedTo, "127.0.0.1");
    EXPECT_GT(bytesSent, 0u);
    const auto order = events.all();
    auto at = [&](const char* name) { return events.indexOf(name); };
    ASSERT_FALSE(order.empty());
    EXPECT_LT(at("connecting"), at("connected"));
    EXPECT_LT(at("connected"), at("sending"));
    EXPECT_LT(at("sending"), at("sent"));
    EXPECT_LT(at("sent"), at("received"));
    EXPECT_LT(at("received"), at("data"));
    EXPECT_EQ(order.back(), "complete");
}

TEST_F(TAdvHttpRequest, AHandlersExceptionTravelsLikeAFailureAtItsStep)
{
    // A handler's exception never lets Execute report success: with RaiseExceptions false it
    // returns false, also where the step drops a failure of its own (a body read).
    struct Case {
        const char* tag;
        TNotifyEvent TAdvHttp::*event;
        bool resultWhenNotRaising;
    };
    for (Case c : {Case{"statusEventInsideTheLibrary", &TAdvHttp::OnSendingRequest, false},
                   Case{"dataEvent", &TAdvHttp::OnDataAvailable, false},
                   Case{"completion", &TAdvHttp::OnRequestComplete, false}}) {
        for (bool raise : {true, false}) {
            QWidget form;
            auto http = MakeHttp("/hello", &form);
            http->SetRaiseExceptions(raise);
            (*http).*c.event = [](TObject*) { throw Exception("handler failed"); };
            if (raise) {
                try {
                    static_cast<void>(http->Execute(true));
                    ADD_FAILURE() << c.tag << ": no exception";
                } catch (const Exception& error) {
                    EXPECT_EQ(error.Message(), "handler failed") << c.tag;
                }
            } else {
                EXPECT_EQ(http->Execute(true), c.resultWhenNotRaising) << c.tag;
                EXPECT_EQ(GetLastError(), DWORD{12017}) << c.tag << ": why it returned false";
            }
            EXPECT_FALSE(http->Busy()) << c.tag;
        }
    }
}

TEST_F(TAdvHttpRequest, TheExtendedErrorMessageCarriesTheServersText)
{
    TAdvHttp http(nullptr);
    std::string message = http.ErrorText(ERROR_INTERNET_EXTENDED_ERROR);
    std::string libraryText = message.substr(0, message.find("\r\n"));
    EXPECT_FALSE(libraryText.empty());
    DWORD serverError = 0;
    char text[4097] = {};
    DWORD length = 4096;
    ASSERT_TRUE(InternetGetLastResponseInfoA(&serverError, text, &length));
    EXPECT_EQ(message, libraryText + "\r\nExtended error:" + std::to_string(serverError) + " - " + text + "\r\n");
}

TEST_F(TAdvHttpRequest, ErrorTextLeavesTheLastErrorAlone)
{
    TAdvHttp http(nullptr);
    SetLastError(ERROR_INTERNET_TIMEOUT);
    EXPECT_FALSE(http.ErrorText(ERROR_INTERNET_NAME_NOT_RESOLVED).empty());
    EXPECT_FALSE(http.ErrorText(ERROR_NOT_ENOUGH_MEMORY).empty()) << "a system code still reads";
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_TIMEOUT);
}

} // namespace
