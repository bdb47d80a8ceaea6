// Asynchronous handles: pending sends and reads completed by notification 100 from the
// layer's thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LocalHttpServer.h"
#include "ScriptedServer.h"
#include "WininetTestSupport.h"

using namespace dorvane::test;

namespace {

std::string letters(std::size_t size)
{
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>('a' + i % 26);
    return text;
}

class WininetAsync : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_http.server().Get("/body", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(letters(40000), "text/plain");
        });
        ASSERT_TRUE(m_http.start());
    }

    static bool isCompletion(const Notification& n) { return n.status == INTERNET_STATUS_REQUEST_COMPLETE; }
    int completions() const { return static_cast<int>(m_recorder.count(isCompletion)); }
    Notification lastCompletion() const
    {
        const auto all = m_recorder.matching(isCompletion);
        return all.empty() ? Notification{} : all.back();
    }

    LocalHttpServer m_http;
    NotificationRecorder m_recorder;
};

} // namespace

TEST_F(WininetAsync, SendAndReadsCompleteThroughNotifications)
{
    auto handles = openRequest(m_http.port(), "GET", "/body", 0, INTERNET_FLAG_ASYNC, &m_recorder);
    EXPECT_FALSE(HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(m_recorder.waitFor(INTERNET_STATUS_REQUEST_COMPLETE));
    Notification sent = lastCompletion();
    EXPECT_EQ(sent.result, 1u);
    EXPECT_EQ(sent.error, 0u);
    EXPECT_NE(sent.thread, std::this_thread::get_id());
    EXPECT_EQ(statusCode(handles.request), 200u);

    std::string body;
    char buffer[16384];
    for (;;) {
        DWORD count = 0;
        if (!InternetReadFile(handles.request, buffer, sizeof buffer, &count)) {
            ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
            const int before = completions();
            ASSERT_TRUE(m_recorder.waitFor(INTERNET_STATUS_REQUEST_COMPLETE, before + 1));
            ASSERT_EQ(lastCompletion().result, 1u);
            // The count is in the caller's variable before the notification.
        }
        if (count == 0)
            break;
        body.append(buffer, count);
    }
    EXPECT_EQ(body, letters(40000));

    const auto codes = m_recorder.codes();
    ASSERT_GE(codes.size(), 8u);
    EXPECT_EQ(codes[0], INTERNET_STATUS_RESOLVING_NAME);
    EXPECT_EQ(codes[4], INTERNET_STATUS_SENDING_REQUEST);
}

TEST_F(WininetAsync, AFailedSendCompletesWithItsError)
{
    int port = 0;
    {
        ScriptedServer closed(Script{});
        port = closed.port();
    }
    auto handles = openRequest(port, "GET", "/", 0, INTERNET_FLAG_ASYNC, &m_recorder);
    EXPECT_FALSE(HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(m_recorder.waitFor(INTERNET_STATUS_REQUEST_COMPLETE));
    const Notification failed = lastCompletion();
    EXPECT_EQ(failed.result, 0u);
    EXPECT_EQ(failed.error, ERROR_INTERNET_CANNOT_CONNECT);
}

TEST_F(WininetAsync, ClosingDuringAPendingReadEndsIt)
{
    ScriptedServer server({Step::readRequest(), Step::send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n"),
                           Step::stall(std::chrono::seconds(10))});
    auto handles = openRequest(server.port(), "GET", "/", 0, INTERNET_FLAG_ASYNC, &m_recorder);
    EXPECT_FALSE(HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0));
    ASSERT_TRUE(m_recorder.waitFor(INTERNET_STATUS_REQUEST_COMPLETE));
    char buffer[16];
    DWORD count = 0;
    EXPECT_FALSE(InternetReadFile(handles.request, buffer, sizeof buffer, &count));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    handles.request.reset();
    EXPECT_TRUE(m_recorder.waitFor(INTERNET_STATUS_HANDLE_CLOSING));
    EXPECT_EQ(count, 0u);
}

namespace {
// Sends a GET of /body on the connection and reads its body, each pending step waited for.
std::string fetchAsynchronously(HINTERNET connection, NotificationRecorder& recorder)
{
    const auto completions = [&recorder] {
        return static_cast<int>(recorder.count([](const Notification& n) { return n.status == INTERNET_STATUS_REQUEST_COMPLETE; }));
    };
    InternetHandle request(HttpOpenRequestA(connection, "GET", "/body", nullptr, nullptr, nullptr, 0, recorder.context()));
    int expected = completions() + 1;
    if (HttpSendRequestA(request, nullptr, 0, nullptr, 0) || GetLastError() != ERROR_IO_PENDING ||
        !recorder.waitFor(INTERNET_STATUS_REQUEST_COMPLETE, expected))
        return "the send did not complete";
    std::string body;
    char buffer[16384];
    for (;;) {
        DWORD count = 0;
        expected = completions() + 1;
        if (!InternetReadFile(request, buffer, sizeof buffer, &count) &&
            (GetLastError() != ERROR_IO_PENDING || !recorder.waitFor(INTERNET_STATUS_REQUEST_COMPLETE, expected)))
            return "a read failed";
        if (count == 0)
            return body;
        body.append(buffer, count);
    }
}
} // namespace

// Asynchronous sessions share the layer's threads, never a connection: a session's next request
// goes on its connection, another session to the same server opens one of its own (more
// sessions than the layer has threads, so that some share one), and closing a session leaves
// the others' connections alone.
TEST_F(WininetAsync, EachSessionKeepsItsOwnConnections)
{
    constexpr int sessionCount = 5;
    std::vector<NotificationRecorder> recorders(sessionCount);
    std::vector<RequestHandles> sessions;
    for (auto& recorder : recorders)
        sessions.push_back(openRequest(m_http.port(), "GET", "/body", 0, INTERNET_FLAG_ASYNC, &recorder));
    const auto fetchAll = [&](int from) {
        for (int i = from; i < sessionCount; ++i) {
            SCOPED_TRACE("session " + std::to_string(i));
            auto& recorder = recorders[static_cast<std::size_t>(i)];
            EXPECT_EQ(fetchAsynchronously(sessions[static_cast<std::size_t>(i)].connection, recorder), letters(40000));
            EXPECT_EQ(recorder.count([](const Notification& n) { return n.status == INTERNET_STATUS_CONNECTING_TO_SERVER; }),
                      1u);
        }
    };
    fetchAll(0);
    fetchAll(0);
    sessions.front().request.reset();
    sessions.front().connection.reset();
    sessions.front().internet.reset();
    fetchAll(1);
}

namespace {
std::atomic<bool> closeReturned{false};
std::atomic<bool> callbackHeld{false};

// Holds the session's thread in the callback until the closing thread has come back.
void holdingCallback(HINTERNET, DWORD_PTR, DWORD status, LPVOID, DWORD)
{
    if (status != INTERNET_STATUS_REQUEST_COMPLETE)
        return;
    callbackHeld = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!closeReturned && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}
} // namespace

TEST(WininetAsyncClose, ClosingDoesNotHangOnACallbackThatWaitsForTheClosingThread)
{
    ScriptedServer server({Step::readRequest(), Step::send(httpResponse(200, "x"))});
    HINTERNET internet = InternetOpenA("A", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, INTERNET_FLAG_ASYNC);
    InternetSetStatusCallback(internet, holdingCallback);
    HINTERNET connection = InternetConnectA(internet, "127.0.0.1", static_cast<INTERNET_PORT>(server.port()),
                                            nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    HINTERNET request = HttpOpenRequestA(connection, "GET", "/", nullptr, nullptr, nullptr, 0, 1);
    EXPECT_FALSE(HttpSendRequestA(request, nullptr, 0, nullptr, 0));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!callbackHeld && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(callbackHeld);
    EXPECT_TRUE(InternetCloseHandle(internet));
    closeReturned = true;
}

namespace {
// One of many asynchronous sessions at once, which share the layer's few threads: the closing
// ones close their Internet handle inside the completion of their send, the others read on.
struct SharedSession {
    HINTERNET internet = nullptr;
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
    bool closeInCallback = false;
    std::atomic<int> completions{0};
};

void sharedSessionCallback(HINTERNET, DWORD_PTR context, DWORD status, LPVOID, DWORD)
{
    auto& session = *reinterpret_cast<SharedSession*>(context);
    if (status != INTERNET_STATUS_REQUEST_COMPLETE)
        return;
    ++session.completions;
    if (session.closeInCallback && session.completions == 1)
        InternetCloseHandle(session.internet);
}

bool waitForCompletions(const SharedSession& session, int count)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (session.completions < count) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
} // namespace

TEST_F(WininetAsync, SessionsClosedInsideTheirCallbacksLeaveTheOthersRunning)
{
    constexpr int sessionCount = 24;
    std::vector<std::unique_ptr<SharedSession>> sessions;
    for (int i = 0; i < sessionCount; ++i) {
        auto session = std::make_unique<SharedSession>();
        session->closeInCallback = i % 2 == 1;
        session->internet = InternetOpenA("A", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, INTERNET_FLAG_ASYNC);
        ASSERT_NE(session->internet, nullptr);
        InternetSetStatusCallback(session->internet, sharedSessionCallback);
        session->connection = InternetConnectA(session->internet, "127.0.0.1",
                                                static_cast<INTERNET_PORT>(m_http.port()), nullptr, nullptr,
                                                INTERNET_SERVICE_HTTP, 0, 0);
        const auto context = reinterpret_cast<DWORD_PTR>(session.get());
        session->request = HttpOpenRequestA(session->connection, "GET", "/body", nullptr, nullptr, nullptr, 0, context);
        ASSERT_NE(session->request, nullptr);
        sessions.push_back(std::move(session));
    }
    for (const auto& session : sessions) {
        EXPECT_FALSE(HttpSendRequestA(session->request, nullptr, 0, nullptr, 0));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    for (int i = 0; i < sessionCount; ++i) {
        SCOPED_TRACE("session " + std::to_string(i));
        SharedSession& session = *sessions[static_cast<std::size_t>(i)];
        ASSERT_TRUE(waitForCompletions(session, 1));
        if (session.closeInCallback)
            continue;
        std::string body;
        char buffer[8192];
        for (;;) {
            DWORD count = 0;
            const int before = session.completions;
            if (!InternetReadFile(session.request, buffer, sizeof buffer, &count)) {
                ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
                ASSERT_TRUE(waitForCompletions(session, before + 1));
            }
            if (count == 0)
                break;
            body.append(buffer, count);
        }
        EXPECT_EQ(body, letters(40000));
        EXPECT_TRUE(InternetCloseHandle(session.request));
        EXPECT_TRUE(InternetCloseHandle(session.connection));
        EXPECT_TRUE(InternetCloseHandle(session.internet));
    }
    for (const auto& session : sessions) {
        if (!session->closeInCallback)
            continue;
        EXPECT_EQ(session->completions, 1) << "nothing completes after its session is closed";
        InternetCloseHandle(session->request);
        InternetCloseHandle(session->connection);
    }
}

// The last session to close stops its thread's loop while another opens: each of a few threads
// opens a session, fetches a body and closes it, over and over, so that sessions come and go
// on the loops while those stop and start again.
TEST_F(WininetAsync, SessionsOpenedAndClosedOneAfterAnotherAllComplete)
{
    constexpr int threadCount = 3;
    constexpr int sessionsEach = 30;
    std::atomic<int> fetched{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < sessionsEach; ++i) {
                NotificationRecorder recorder;
                bool whole = false;
                {
                    RequestHandles session =
                        openRequest(m_http.port(), "GET", "/body", 0, INTERNET_FLAG_ASYNC, &recorder);
                    whole = fetchAsynchronously(session.connection, recorder) == letters(40000);
                }
                // Both requests' closing comes last, perhaps from the loop's thread after the close.
                if (whole && recorder.waitFor(INTERNET_STATUS_HANDLE_CLOSING, 2))
                    ++fetched;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(fetched, threadCount * sessionsEach);
}
