// Synchronous requests end to end against servers on 127.0.0.1: what Execute(true) leaves in
// Text, StatusCode, LastError and Busy, which events fire, and what goes on the wire.
#include <QWidget>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "HttpTestHelpers.h"
#include "errhandlingapi.h"
#include "local_http_server.h"
#include "scripted_server.h"
#include "uAdvHttp.h"

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

TEST_F(TAdvHttpRequest, AuthenticationIsRetriedAsOftenAsAuthRetriesSays)
{
    struct Case {
        int retries;
        int sends;
    };
    for (Case c : {Case{3, 4}, Case{0, 1}}) {
        {
            std::lock_guard lock(mutex);
            authHits = 0;
        }
        auto http = MakeHttp("/auth");
        http->SetAuthRetries(c.retries);
        int needAuth = 0;
        int errors = 0;
        int completions = 0;
        http->OnNeedAuth = [&](TObject*) { ++needAuth; };
        http->OnError = [&](TObject*) { ++errors; };
        http->OnRequestComplete = [&](TObject*) { ++completions; };
        EXPECT_TRUE(http->Execute(true)) << "an abandoned request raises nothing";
        std::lock_guard lock(mutex);
        EXPECT_EQ(authHits, c.sends) << c.retries;
        EXPECT_EQ(needAuth, c.sends) << c.retries;
        EXPECT_EQ(http->LastError(), ERROR_INTERNET_OPERATION_CANCELLED);
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

TEST_F(TAdvHttpRequest, ContentLengthIsThePlainDecimalNumberTheServerSent)
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
    std::vector<std::string> order;
    std::string connectedTo;
    DWORD bytesSent = 0;
    bool otherThread = false;
    const auto self = std::this_thread::get_id();
    auto record = [&](const char* name) {
        return [&, name](TObject*) {
            order.push_back(name);
            otherThread = otherThread || std::this_thread::get_id() != self;
        };
    };
    http->OnConnectingToServer = record("connecting");
    http->OnConnectedToServer = [&](TObject* sender) {
        order.push_back("connected");
        connectedTo = static_cast<TAdvHttp*>(sender)->ServerAddress();
    };
    http->OnSendingRequest = record("sending");
    http->OnRequestSent = [&](TObject* sender) {
        order.push_back("sent");
        bytesSent = static_cast<TAdvHttp*>(sender)->BytesSent();
    };
    http->OnResponseReceived = record("received");
    http->OnDataAvailable = record("data");
    http->OnRequestComplete = record("complete");
    ASSERT_TRUE(http->Execute(true));
    EXPECT_FALSE(otherThread);
    EXPECT_EQ(connectedTo, "127.0.0.1");
    EXPECT_GT(bytesSent, 0u);
    auto at = [&](const std::string& name) {
        return std::find(order.begin(), order.end(), name) - order.begin();
    };
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
