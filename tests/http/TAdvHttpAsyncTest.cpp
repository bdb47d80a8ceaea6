// Status notifications and asynchronous requests: Execute(false) hands the response to a worker
// thread, events still reach their handlers on the window's thread, and destruction never waits
// on anything that can't finish.
#include <QPointer>
#include <QWidget>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "EventLog.h"
#include "HttpTestHelpers.h"
#include "LocalHttpServer.h"
#include "ScriptedServer.h"
#include "synchapi.h"
#include "uAdvHttpPrivate.h" // a white-box test: notifications fed straight in

using dorvane::test::EventLog;
using dorvane::test::LocalHttpServer;
using dorvane::test::ScriptedServer;
using dorvane::test::Step;
using namespace std::chrono_literals;

// Feeds notifications straight into a component, as the library would.
struct TAdvHttpStatusProbe {
    static void Notify(TAdvHttp& http, DWORD status, LPVOID information, DWORD length)
    {
        http.d->HandleStatus(status, information, length);
    }
    // The component as an asynchronous request leaves it once it is sent.
    static void Sent(TAdvHttp& http) { static_cast<void>(http.d->StartRequest(false)); }
};

namespace {

std::string PatternBody(std::size_t size)
{
    std::string body(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        body[i] = static_cast<char>('A' + i % 26);
    return body;
}

bool IsSignalled(HANDLE event)
{
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

class TAdvHttpAsync : public testing::Test {
protected:
    void SetUp() override
    {
        server.server().Get("/hello", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("Hello", "text/plain");
        });
        server.server().Get("/big", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(PatternBody(100000), "application/octet-stream");
        });
        server.server().Get("/auth", [this](const httplib::Request& req, httplib::Response& res) {
            ++authHits;
            if (req.has_header("Authorization")) {
                res.set_content("welcome", "text/plain");
                return;
            }
            res.status = 401;
            res.set_header("WWW-Authenticate", "Basic realm=\"test\"");
            res.set_content("denied", "text/plain");
        });
        // One request per connection: kept-alive connections would hold the server's few
        // threads while fifty clients wait.
        server.server().set_keep_alive_max_count(1);
        ASSERT_TRUE(server.start());
    }

    std::string Url(const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(server.port()) + path;
    }

    TAdvHttp* MakeHttp(const std::string& url)
    {
        auto* http = new TAdvHttp(&form);
        http->SetURL(url);
        http->SetDefaultUi(false);
        return http;
    }

    // The server goes last, after the components have closed their connections.
    LocalHttpServer server;
    QWidget form; // the windowed owner: events come through the notification window
    std::atomic<int> authHits{0};
};

TEST_F(TAdvHttpAsync, EventsArriveOnTheWindowThreadInTheOrderOfTheNotifications)
{
    TAdvHttp* http = MakeHttp(Url("/big"));
    EventLog<std::string> events;
    http->OnConnectingToServer = events.recorder("connecting");
    http->OnConnectedToServer = events.recorder("connected");
    http->OnSendingRequest = events.recorder("sending");
    http->OnRequestSent = events.recorder("sent");
    http->OnDataAvailable = events.recorder("data");
    http->OnRequestComplete = events.recorder("complete");
    ASSERT_TRUE(http->Execute(false));
    ASSERT_TRUE(httptest::WaitFor([&] { return events.count("complete") > 0; }));
    EXPECT_TRUE(events.allOnThread());
    EXPECT_EQ(http->Text(), PatternBody(100000));
    EXPECT_EQ(http->StatusCode(), 200u);
    EXPECT_EQ(http->BytesRead(), 100000u);
    EXPECT_TRUE(httptest::WaitFor([&] { return !http->Busy(); }));
    const auto order = events.all();
    const std::vector<std::string> expectedStart{"connecting", "connected", "sending", "sent", "data"};
    ASSERT_GE(order.size(), expectedStart.size() + 1);
    EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + 5), expectedStart);
    EXPECT_EQ(order.back(), "complete");
    EXPECT_EQ(std::count(order.begin(), order.end(), "complete"), 1);
}

TEST_F(TAdvHttpAsync, ASlowBodyIsWaitedForAndReadWhole)
{
    const std::string body = PatternBody(3000);
    std::string response = dorvane::test::httpResponse(200, body);
    const std::size_t head = response.size() - body.size();
    ScriptedServer peer({Step::readRequest(), Step::send(response, {head + 10, head + 1000, head + 2000}, 150ms),
                         Step::close()});
    TAdvHttp* http = MakeHttp("http://127.0.0.1:" + std::to_string(peer.port()) + "/slow");
    int chunks = 0;
    bool complete = false;
    http->OnDataAvailable = [&](TObject*) { ++chunks; };
    http->OnRequestComplete = [&](TObject*) { complete = true; };
    ASSERT_TRUE(http->Execute(false));
    ASSERT_TRUE(httptest::WaitFor([&] { return complete; }));
    EXPECT_EQ(http->Text(), body);
    EXPECT_GE(chunks, 3) << "each piece came after the worker had waited for it";
}

TEST_F(TAdvHttpAsync, AFailedCompletionIsRecordedAndSignalled)
{
    TAdvHttp* http = MakeHttp("http://127.0.0.1:" + std::to_string(httptest::RefusedPort()) + "/");
    std::atomic<int> errors{0};
    http->OnError = [&](TObject*) { ++errors; };
    ASSERT_TRUE(http->Execute(false)) << "the failure comes with the completion";
    ASSERT_TRUE(httptest::WaitFor([&] { return IsSignalled(http->CompletionEvent()); }));
    EXPECT_EQ(http->LastError(), ERROR_INTERNET_CANNOT_CONNECT);
    EXPECT_EQ(errors, 1);
    EXPECT_TRUE(httptest::WaitFor([&] { return !http->Busy(); }));

    http->SetURL(Url("/hello")); // the failed request's handles don't stand in the way
    bool complete = false;
    http->OnRequestComplete = [&](TObject*) { complete = true; };
    ASSERT_TRUE(http->Execute(false));
    ASSERT_TRUE(httptest::WaitFor([&] { return complete; }));
    EXPECT_EQ(http->Text(), "Hello");
}

// A failed completion ends the request as failed, with a code even when the library gave none.
TEST_F(TAdvHttpAsync, AFailedCompletionEndsTheRequestWithItsCode)
{
    struct Case {
        DWORD code;
        DWORD recorded;
    };
    for (Case c : {Case{ERROR_INTERNET_TIMEOUT, ERROR_INTERNET_TIMEOUT}, Case{ERROR_SUCCESS, ERROR_INTERNET_INTERNAL_ERROR},
                   Case{ERROR_IO_PENDING, ERROR_INTERNET_INTERNAL_ERROR}}) {
        TAdvHttp http(nullptr);
        int errors = 0;
        http.OnError = [&](TObject*) { ++errors; };
        TAdvHttpStatusProbe::Sent(http);
        INTERNET_ASYNC_RESULT failed{0, c.code};
        TAdvHttpStatusProbe::Notify(http, INTERNET_STATUS_REQUEST_COMPLETE, &failed, sizeof failed);
        EXPECT_EQ(http.LastError(), c.recorded) << c.code;
        EXPECT_EQ(errors, 1) << c.code;
        EXPECT_TRUE(IsSignalled(http.CompletionEvent()));
        EXPECT_FALSE(http.Busy());
    }
}

TEST_F(TAdvHttpAsync, NotificationsUpdateTheirValuesBeforeTheirEvent)
{
    TAdvHttp http(nullptr);
    std::string seen;
    http.OnRedirect = [&](TObject* sender) { seen = static_cast<TAdvHttp*>(sender)->RedirectURL(); };
    char url[] = "http://elsewhere/";
    TAdvHttpStatusProbe::Notify(http, INTERNET_STATUS_REDIRECT, url, sizeof url);
    EXPECT_EQ(seen, "http://elsewhere/");

    DWORD received = 7;
    TAdvHttpStatusProbe::Notify(http, INTERNET_STATUS_RESPONSE_RECEIVED, &received, sizeof received);
    TAdvHttpStatusProbe::Notify(http, INTERNET_STATUS_RESPONSE_RECEIVED, &received, sizeof received);
    EXPECT_EQ(http.BytesReceived(), 7u);
    EXPECT_EQ(http.TotalBytesReceived(), 14u);

    int unknown = 0;
    TAdvHttpStatusProbe::Notify(http, 4242, &unknown, sizeof unknown);
    EXPECT_EQ(http.StatusInfo(), &unknown);
    EXPECT_EQ(http.StatusInfoLength(), sizeof unknown);
    EXPECT_FALSE(IsSignalled(http.CompletionEvent()));

    TAdvHttpStatusProbe::Notify(http, INTERNET_STATUS_HANDLE_CLOSING, nullptr, 0);
    EXPECT_FALSE(IsSignalled(http.CompletionEvent())) << "the end of a request signals it, not a closing handle";
}

TEST_F(TAdvHttpAsync, ClosingTheRequestSignalsTheCompletionEvent)
{
    for (bool synchronous : {true, false}) {
        TAdvHttp* http = MakeHttp(Url("/hello"));
        ASSERT_FALSE(IsSignalled(http->CompletionEvent()));
        ASSERT_TRUE(http->Execute(synchronous));
        EXPECT_TRUE(httptest::WaitFor([&] { return IsSignalled(http->CompletionEvent()); })) << synchronous;
        EXPECT_EQ(http->Text(), "Hello");
        delete http;
    }
}

TEST_F(TAdvHttpAsync, ReleaseOnCloseFreesTheComponentThroughTheWindow)
{
    QPointer<TAdvHttp> http = MakeHttp(Url("/hello"));
    http->SetReleaseOnClose(true);
    ASSERT_TRUE(http->Execute(false));
    EXPECT_TRUE(httptest::WaitFor([&] { return http.isNull(); }));
}

TEST_F(TAdvHttpAsync, AuthenticationIsAnsweredByResendingTheRequest)
{
    for (bool synchronous : {true, false}) {
        authHits = 0;
        TAdvHttp* http = MakeHttp(Url("/auth"));
        int needAuth = 0;
        bool complete = false;
        http->OnNeedAuth = [&](TObject* sender) {
            ++needAuth;
            static_cast<TAdvHttp*>(sender)->SetUserName("alice");
            static_cast<TAdvHttp*>(sender)->SetPassword("secret");
        };
        http->OnRequestComplete = [&](TObject*) { complete = true; };
        ASSERT_TRUE(http->Execute(synchronous));
        ASSERT_TRUE(httptest::WaitFor([&] { return complete; })) << synchronous;
        EXPECT_EQ(http->Text(), "welcome") << synchronous;
        EXPECT_EQ(http->StatusCode(), 200u);
        EXPECT_EQ(needAuth, 1);
        EXPECT_GE(authHits, 2) << "the library may ask once more before it sends the credentials";
        delete http;
    }
}

TEST_F(TAdvHttpAsync, AbandonedAuthenticationEndsTheAsynchronousRequest)
{
    server.server().Get("/never", [](const httplib::Request&, httplib::Response& res) {
        res.status = 401;
        res.set_header("WWW-Authenticate", "Basic realm=\"test\"");
    });
    TAdvHttp* http = MakeHttp(Url("/auth")); // no credentials: 401 every time
    http->SetAuthRetries(2);
    std::atomic<int> errors{0};
    http->OnError = [&](TObject*) { ++errors; };
    ASSERT_TRUE(http->Execute(false));
    ASSERT_TRUE(httptest::WaitFor([&] { return errors == 1 && !http->Busy(); }));
    EXPECT_EQ(authHits, 1) << "never sent again with the credentials refused";
    EXPECT_EQ(http->LastError(), ERROR_INTERNET_LOGIN_FAILURE);
}

TEST_F(TAdvHttpAsync, DestroyingAComponentMidTransferReturnsPromptly)
{
    std::string response = dorvane::test::httpResponse(200, PatternBody(1000000));
    response.resize(response.size() - 900000); // the rest never comes
    ScriptedServer peer({Step::readRequest(), Step::send(response), Step::stall(30s)});
    TAdvHttp* http = MakeHttp("http://127.0.0.1:" + std::to_string(peer.port()) + "/");
    bool data = false;
    http->OnDataAvailable = [&](TObject*) { data = true; };
    ASSERT_TRUE(http->Execute(false));
    ASSERT_TRUE(httptest::WaitFor([&] { return data; }));
    const auto started = std::chrono::steady_clock::now();
    delete http;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
}

TEST_F(TAdvHttpAsync, DestroyingRightAfterTheStartNeverHangs)
{
    for (int round = 0; round < 20; ++round) {
        TAdvHttp* http = MakeHttp(Url("/big"));
        int events = 0;
        auto count = [&](TObject*) { ++events; };
        http->OnConnectingToServer = count;
        http->OnSendingRequest = count;
        http->OnResponseReceived = count;
        http->OnDataAvailable = count;
        ASSERT_TRUE(http->Execute(false));
        if (round % 2 == 1)
            QTest::qWait(round); // let some events be on their way
        const auto started = std::chrono::steady_clock::now();
        delete http;
        EXPECT_LT(std::chrono::steady_clock::now() - started, 2s) << round;
    }
}

TEST_F(TAdvHttpAsync, FiftyComponentsRunningAtOnceAllComplete)
{
    constexpr int count = 50;
    std::vector<TAdvHttp*> components;
    int complete = 0;
    for (int i = 0; i < count; ++i) {
        TAdvHttp* http = MakeHttp(Url("/hello"));
        http->OnRequestComplete = [&](TObject*) { ++complete; };
        components.push_back(http);
    }
    for (TAdvHttp* http : components)
        ASSERT_TRUE(http->Execute(false));
    ASSERT_TRUE(httptest::WaitFor([&] { return complete == count; }, 30s)) << complete;
    for (TAdvHttp* http : components)
        EXPECT_EQ(http->Text(), "Hello");
}

TEST_F(TAdvHttpAsync, TheSameComponentRunsSynchronousAndAsynchronousRequestsInTurn)
{
    TAdvHttp* http = MakeHttp(Url("/hello"));
    bool complete = false;
    bool busyWhileReading = true;
    http->OnRequestComplete = [&](TObject*) { complete = true; };
    http->OnDataAvailable = [&](TObject* sender) {
        busyWhileReading = busyWhileReading && static_cast<TAdvHttp*>(sender)->Busy();
    };
    for (bool synchronous : {true, false, true, false}) {
        complete = false;
        ASSERT_TRUE(http->Execute(synchronous));
        ASSERT_TRUE(httptest::WaitFor([&] { return complete && !http->Busy(); })) << synchronous;
        EXPECT_EQ(http->Text(), "Hello");
        EXPECT_TRUE(busyWhileReading) << "reopening the handle for the other mode keeps the request busy";
    }
}

TEST_F(TAdvHttpAsync, AHandlerMayStartTheNextRequestFromOnRequestComplete)
{
    TAdvHttp* http = MakeHttp(Url("/hello"));
    int complete = 0;
    http->OnRequestComplete = [&](TObject* sender) {
        if (++complete < 3) {
            EXPECT_TRUE(static_cast<TAdvHttp*>(sender)->Execute(false));
        }
    };
    ASSERT_TRUE(http->Execute(false));
    ASSERT_TRUE(httptest::WaitFor([&] { return complete == 3 && !http->Busy(); }));
    EXPECT_EQ(http->Text(), "Hello");
}

} // namespace
