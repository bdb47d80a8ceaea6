// Endings, as properties over many rounds of random timing: a request handle of the Internet
// client layer hears nothing after its closing notification (70), and a component fires no
// status event once its request has ended, whoever ends it: the request running to its end,
// a status callback or event handler, or another thread.
#include <QPointer>
#include <QWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "EventLog.h"
#include "HttpTestHelpers.h"
#include "errhandlingapi.h"
#include "LocalHttpServer.h"
#include "uAdvHttp.h"
#include "wininet.h"

using dorvane::test::EventLog;
using dorvane::test::LocalHttpServer;
using namespace std::chrono_literals;

namespace {

constexpr int LayerRounds = 120;
constexpr int ComponentRounds = 60;

class Endings : public testing::Test {
protected:
    void SetUp() override
    {
        server.server().Get("/ok", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("fine", "text/plain");
        });
        server.server().Get("/big", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string(200000, 'b'), "application/octet-stream");
        });
        server.server().Get("/auth", [](const httplib::Request&, httplib::Response& res) {
            res.status = 401;
            res.set_header("WWW-Authenticate", "Basic realm=\"r\"");
            res.set_content("denied", "text/plain");
        });
        ASSERT_TRUE(server.start());
    }

    LocalHttpServer server;
    std::mt19937 random{20261208};
    const char* RandomPath() { return std::array{"/ok", "/big", "/auth"}[random() % 3]; }
};

// ---- the layer ----

// What one request handle heard, and a close it asks for from inside a notification.
struct HandleLog {
    EventLog<DWORD> statuses;
    int closeAtNotification = -1; // close from inside the callback at this notification (-1: never)
    std::atomic<bool> closed{false};

    void Close(HINTERNET request)
    {
        if (!closed.exchange(true))
            InternetCloseHandle(request);
    }
};

void RecordStatus(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID, DWORD)
{
    auto* log = reinterpret_cast<HandleLog*>(context);
    const std::size_t heard = log->statuses.add(status);
    if (status != INTERNET_STATUS_HANDLE_CLOSING && static_cast<int>(heard) == log->closeAtNotification)
        log->Close(handle);
}

// Runs the request as far as it goes: the send, then reads until the end, a failure or the close.
void Drive(HINTERNET request, bool async, HandleLog& log)
{
    const auto isEnd = [](DWORD status) {
        return status == INTERNET_STATUS_REQUEST_COMPLETE || status == INTERNET_STATUS_HANDLE_CLOSING;
    };
    auto waitForCompletion = [&](std::size_t before) { (void)log.statuses.waitFor(isEnd, before + 1, 1000); };
    auto seen = [&] { return log.statuses.count(isEnd); };
    std::size_t before = seen();
    if (!HttpSendRequestA(request, nullptr, 0, nullptr, 0)) {
        if (!async || GetLastError() != ERROR_IO_PENDING)
            return;
        waitForCompletion(before);
    }
    char buffer[4096];
    for (int reads = 0; reads < 1000 && !log.closed; ++reads) {
        DWORD count = 0;
        before = seen();
        if (InternetReadFile(request, buffer, sizeof buffer, &count)) {
            if (count == 0)
                return;
            continue;
        }
        if (!async || GetLastError() != ERROR_IO_PENDING)
            return;
        waitForCompletion(before);
    }
}

TEST_F(Endings, ARequestHandleHearsNothingAfterItsClosingNotification)
{
    for (int round = 0; round < LayerRounds; ++round) {
        const bool async = round % 2 == 1;
        const int ending = static_cast<int>(random() % 3); // 0: at the end, 1: in a callback, 2: another thread
        const char* path = RandomPath();
        SCOPED_TRACE("round " + std::to_string(round) + (async ? " async " : " sync ") + path + " ending " +
                     std::to_string(ending));
        HandleLog log;
        if (ending == 1)
            log.closeAtNotification = 1 + static_cast<int>(random() % 12);
        HINTERNET internet = InternetOpenA("Endings", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr,
                                           async ? INTERNET_FLAG_ASYNC : 0);
        InternetSetStatusCallback(internet, RecordStatus);
        HINTERNET connection = InternetConnectA(internet, "127.0.0.1", static_cast<INTERNET_PORT>(server.port()),
                                                nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
        HINTERNET request = HttpOpenRequestA(connection, "GET", path, nullptr, nullptr, nullptr, 0,
                                             reinterpret_cast<DWORD_PTR>(&log));
        std::thread closer;
        if (ending == 2) {
            const auto delay = std::chrono::microseconds(random() % 20000);
            closer = std::thread([&log, request, delay] {
                std::this_thread::sleep_for(delay);
                log.Close(request);
            });
        }
        Drive(request, async, log);
        if (closer.joinable())
            closer.join();
        log.Close(request);
        // The closing notification may be owed by the layer's thread, which sends it once done.
        const bool closingSeen = log.statuses.waitFor(DWORD{INTERNET_STATUS_HANDLE_CLOSING});
        InternetCloseHandle(internet);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000)); // late deliveries show up
        const auto statuses = log.statuses.all();
        ASSERT_TRUE(closingSeen);
        EXPECT_EQ(std::count(statuses.begin(), statuses.end(), INTERNET_STATUS_HANDLE_CLOSING), 1);
        EXPECT_EQ(statuses.back(), INTERNET_STATUS_HANDLE_CLOSING) << "notifications after the closing one";
    }
}

// ---- the component ----

// Counts status events that come when they must not: while the component is not busy (its
// request has ended) or once it has been deleted.
struct StatusWatch {
    std::atomic<int> late{0};
    std::atomic<int> events{0};
    std::atomic<bool> deleted{false};
    std::atomic<bool> ended{false};

    void Attach(TAdvHttp& http)
    {
        const TNotifyEvent check = [this](TObject* sender) {
            ++events;
            if (deleted || ended || !static_cast<TAdvHttp*>(sender)->Busy())
                ++late;
        };
        for (TNotifyEvent TAdvHttp::*event :
             {&TAdvHttp::OnResolvingName, &TAdvHttp::OnNameResolved, &TAdvHttp::OnConnectingToServer,
              &TAdvHttp::OnConnectedToServer, &TAdvHttp::OnSendingRequest, &TAdvHttp::OnRequestSent,
              &TAdvHttp::OnReceivingResponse, &TAdvHttp::OnResponseReceived, &TAdvHttp::OnClosingConnection,
              &TAdvHttp::OnConnectionClosed, &TAdvHttp::OnRedirect, &TAdvHttp::OnIntermediateResponse,
              &TAdvHttp::OnStateChange})
            http.*event = check;
    }
};

TEST_F(Endings, AComponentFiresNoStatusEventAfterItsRequestEnded)
{
    QWidget form;
    for (int round = 0; round < ComponentRounds; ++round) {
        const bool synchronous = random() % 3 == 0;
        const bool windowed = random() % 2 == 0;
        // 0: the request runs to its end; 1: a handler releases the component (windowed) or another
        // thread deletes it (no owner); 2: deleted on this thread after a random moment.
        const int ending = synchronous ? 0 : static_cast<int>(random() % 3);
        const char* path = RandomPath();
        SCOPED_TRACE("round " + std::to_string(round) + (synchronous ? " sync" : " async") +
                     (windowed ? " windowed " : " no owner ") + path + " ending " + std::to_string(ending));
        StatusWatch watch;
        auto* http = new TAdvHttp(windowed ? &form : nullptr);
        http->SetURL("http://127.0.0.1:" + std::to_string(server.port()) + path);
        http->SetRaiseExceptions(false);
        http->SetDefaultUi(false);
        watch.Attach(*http);
        std::atomic<bool> over{false};
        http->OnRequestComplete = [&](TObject*) {
            watch.ended = true;
            over = true;
        };
        http->OnError = [&](TObject*) { over = true; }; // a failed request ends without OnRequestComplete
        QPointer<TAdvHttp> alive(http);
        if (ending == 1 && windowed) {
            const int at = 1 + static_cast<int>(random() % 8);
            http->OnResponseReceived = [&watch, at, count = 0](TObject* sender) mutable {
                ++watch.events;
                if (++count == at)
                    static_cast<TAdvHttp*>(sender)->PostRelease();
            };
        }
        static_cast<void>(http->Execute(synchronous));
        if (ending == 1 && !windowed) {
            const auto delay = std::chrono::microseconds(random() % 20000);
            std::thread([&, delay] {
                std::this_thread::sleep_for(delay);
                delete http;
                watch.deleted = true;
            }).join();
        } else if (ending == 2) {
            QTest::qWait(static_cast<int>(random() % 15));
            delete http;
            watch.deleted = true;
        } else if (ending == 1) {
            httptest::WaitFor([&] { return alive.isNull() || (over && !alive->Busy()); }, 5s);
            if (!alive.isNull())
                delete http;
            watch.deleted = true;
        } else {
            EXPECT_TRUE(httptest::WaitFor([&] { return over.load(); }, 5s));
            EXPECT_TRUE(httptest::WaitFor([&] { return !http->Busy(); }, 5s));
            QTest::qWait(static_cast<int>(random() % 5)); // late events would come now
            delete http;
            watch.deleted = true;
        }
        QTest::qWait(2);
        EXPECT_EQ(watch.late, 0) << "of " << watch.events << " status events";
    }
}

} // namespace
