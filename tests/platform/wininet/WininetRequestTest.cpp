// Synchronous requests against servers on 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "LocalHttpServer.h"
#include "ScriptedServer.h"
#include "WininetTestSupport.h"

using namespace dorvane::test;
using namespace std::chrono_literals;

namespace {

std::string patternBody(std::size_t size)
{
    std::string body(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        body[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return body;
}

class WininetRequest : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto& server = m_http.server();
        server.Get("/status/(\\d+)", [](const httplib::Request& request, httplib::Response& response) {
            response.status = std::stoi(request.matches[1]);
            response.set_content("body of " + request.matches[1].str(), "text/plain");
        });
        server.Get("/pattern/(\\d+)", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content(patternBody(std::stoul(request.matches[1])), "application/octet-stream");
        });
        server.Get("/chunked", [](const httplib::Request&, httplib::Response& response) {
            response.set_chunked_content_provider("text/plain", [](size_t offset, httplib::DataSink& sink) {
                if (offset >= 30000) {
                    sink.done();
                    return true;
                }
                const std::string piece(1000 + offset % 7, static_cast<char>('a' + offset % 26));
                sink.write(piece.data(), piece.size());
                return true;
            });
        });
        server.Get("/nul", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(std::string("a\0b\0\0c", 6), "application/octet-stream");
        });
        server.Get("/redirect", [](const httplib::Request&, httplib::Response& response) {
            response.set_redirect("/status/200", 302);
        });
        server.Get("/bigheaders", [](const httplib::Request&, httplib::Response& response) {
            for (int i = 0; i < 40; ++i)
                response.set_header("X-Filler-" + std::to_string(i), std::string(300, 'x'));
            response.set_content("ok", "text/plain");
        });
        server.Post("/echo", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content(request.body, "application/octet-stream");
        });
        ASSERT_TRUE(m_http.start());
    }

    int port() const { return m_http.port(); }

    LocalHttpServer m_http;
};

} // namespace

TEST_F(WininetRequest, ErrorStatusesAreAnswersWithTheirBodies)
{
    for (int status : {200, 201, 404, 500, 503}) {
        SCOPED_TRACE(status);
        const std::string path = "/status/" + std::to_string(status);
        auto handles = openRequest(port(), "GET", path.c_str());
        ASSERT_TRUE(HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0)) << GetLastError();
        EXPECT_EQ(statusCode(handles.request), static_cast<DWORD>(status));
        std::string body;
        ASSERT_TRUE(readBody(handles.request, body));
        EXPECT_EQ(body, "body of " + std::to_string(status));
    }
}

// Each read fills the caller's buffer until the body ends, also far past the layer's read-ahead
// buffer (1 MiB), whose taken part is moved out once the reader passes its low mark (256 KiB).
TEST_F(WininetRequest, ABodyIsReadInFullPiecesUntilItEnds)
{
    struct Case {
        DWORD bodySize;
        DWORD pieceSize;
        DWORD fullPieces;
        DWORD lastPiece;
    };
    for (const Case& c : {Case{40000, 16384, 2, 7232}, Case{3u << 20, 4099, 767, 1795}}) {
        SCOPED_TRACE(c.bodySize);
        auto handles = openRequest(port(), "GET", ("/pattern/" + std::to_string(c.bodySize)).c_str());
        ASSERT_TRUE(HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0)) << GetLastError();
        std::string body;
        std::vector<DWORD> pieces;
        ASSERT_TRUE(readBody(handles.request, body, c.pieceSize, &pieces));
        std::vector<DWORD> expected(c.fullPieces, c.pieceSize);
        expected.push_back(c.lastPiece);
        EXPECT_EQ(pieces, expected);
        EXPECT_TRUE(body == patternBody(c.bodySize)) << "a body of " << body.size() << " bytes differs";
        DWORD count = 99;
        char byte;
        EXPECT_TRUE(InternetReadFile(handles.request, &byte, 1, &count));
        EXPECT_EQ(count, 0u);
    }
}

TEST_F(WininetRequest, ChunkedAndBinaryBodiesArriveIntact)
{
    auto chunked = openRequest(port(), "GET", "/chunked");
    ASSERT_TRUE(HttpSendRequestA(chunked.request, nullptr, 0, nullptr, 0));
    std::string body;
    ASSERT_TRUE(readBody(chunked.request, body, 1000));
    EXPECT_GE(body.size(), 30000u);
    EXPECT_EQ(body.substr(0, 1000), std::string(1000, 'a'));

    auto binary = openRequest(port(), "GET", "/nul");
    ASSERT_TRUE(HttpSendRequestA(binary.request, nullptr, 0, nullptr, 0));
    std::string bytes;
    ASSERT_TRUE(readBody(binary.request, bytes));
    EXPECT_EQ(bytes, std::string("a\0b\0\0c", 6));
}

TEST_F(WininetRequest, ABodyGoesWithThePost)
{
    auto handles = openRequest(port(), "POST", "/echo");
    std::string payload = patternBody(70000);
    ASSERT_TRUE(HttpSendRequestA(handles.request, nullptr, 0, payload.data(), static_cast<DWORD>(payload.size())));
    std::string body;
    ASSERT_TRUE(readBody(handles.request, body));
    EXPECT_EQ(body, payload);
}

TEST_F(WininetRequest, RedirectsAreFollowedAndReported)
{
    NotificationRecorder recorder;
    auto handles = openRequest(port(), "GET", "/redirect", 0, 0, &recorder);
    ASSERT_TRUE(HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0));
    EXPECT_EQ(statusCode(handles.request), 200u);
    const auto all = recorder.all();
    std::vector<DWORD> afterRedirect;
    std::string target;
    bool seen = false;
    for (const auto& n : all) {
        if (n.status == INTERNET_STATUS_REDIRECT) {
            seen = true;
            target = n.text;
        } else if (seen) {
            afterRedirect.push_back(n.status);
        }
    }
    EXPECT_EQ(target, "http://127.0.0.1:" + std::to_string(port()) + "/status/200");
    // The same connection carries the second request: no new name resolution or connect.
    ASSERT_GE(afterRedirect.size(), 4u);
    EXPECT_EQ(std::vector<DWORD>(afterRedirect.begin(), afterRedirect.begin() + 4),
              (std::vector<DWORD>{INTERNET_STATUS_SENDING_REQUEST, INTERNET_STATUS_REQUEST_SENT,
                                  INTERNET_STATUS_RECEIVING_RESPONSE, INTERNET_STATUS_RESPONSE_RECEIVED}));

    auto manual = openRequest(port(), "GET", "/redirect", INTERNET_FLAG_NO_AUTO_REDIRECT);
    ASSERT_TRUE(HttpSendRequestA(manual.request, nullptr, 0, nullptr, 0));
    EXPECT_EQ(statusCode(manual.request), 302u);
    EXPECT_NE(rawHeaders(manual.request).find("Location: /status/200\r\n"), std::string::npos);
}

// The redirect notification names the URL the layer then requests: the server gets the path
// the notification shows, dot segments and all (they go out as written, the caller's own too),
// with a Host line naming the server it goes to (another port of the same host included).
TEST(WininetRedirects, TheNotificationNamesTheUrlRequested)
{
    // Answers with its request line and the Host line it got.
    const auto echo = [](const std::string& request) {
        const std::size_t host = request.find("\r\nHost: ");
        const std::string hostLine =
            host == std::string::npos ? "" : request.substr(host + 2, request.find("\r\n", host + 2) - host - 2);
        return Script{Step::send(httpResponse(200, request.substr(0, request.find("\r\n")) + " | " + hostLine))};
    };
    ScriptedServer other{Router(echo)};
    const std::string otherServer = "127.0.0.1:" + std::to_string(other.port());
    const struct {
        const char* tag;
        const char* path;
        std::string location;
        const char* requested;
        bool toOther = false;
    } cases[] = {
        {"a path", "/from/start", "/to/x", "/to/x"},
        {"dot segments", "/from/start", "/to/a/../b/./c", "/to/a/../b/./c"},
        {"relative to the folder", "/from/./start", "x?q=1", "/from/./x?q=1"},
        {"another port of the same host", "/from/start", "http://" + otherServer + "/to/x", "/to/x", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tag);
        ScriptedServer server{Router([&c, &echo](const std::string& request) {
            if (request.rfind(std::string("GET ") + c.path + " ", 0) == 0)
                return Script{Step::send(httpResponse(302, "", "Location: " + c.location + "\r\n"))};
            return echo(request);
        })};
        const std::string answering = c.toOther ? otherServer : "127.0.0.1:" + std::to_string(server.port());
        NotificationRecorder recorder;
        auto handles = openRequest(server.port(), "GET", c.path, 0, 0, &recorder);
        ASSERT_TRUE(HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0)) << GetLastError();
        std::string body;
        ASSERT_TRUE(readBody(handles.request, body));
        EXPECT_EQ(body, std::string("GET ") + c.requested + " HTTP/1.1 | Host: " + answering);
        std::string notified;
        for (const auto& n : recorder.all()) {
            if (n.status == INTERNET_STATUS_REDIRECT)
                notified = n.text;
        }
        EXPECT_EQ(notified, "http://" + answering + c.requested);
    }
}

TEST_F(WininetRequest, NotificationsOfASendComeInOrderOnTheCallersThread)
{
    NotificationRecorder recorder;
    auto handles = openRequest(port(), "GET", "/status/200", 0, 0, &recorder, "localhost");
    ASSERT_TRUE(HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0));
    const auto all = recorder.all();
    std::vector<DWORD> codes;
    for (const auto& n : all) {
        EXPECT_EQ(n.thread, std::this_thread::get_id());
        if (codes.size() < 8)
            codes.push_back(n.status);
    }
    EXPECT_EQ(codes, (std::vector<DWORD>{INTERNET_STATUS_RESOLVING_NAME, INTERNET_STATUS_NAME_RESOLVED,
                                         INTERNET_STATUS_CONNECTING_TO_SERVER, INTERNET_STATUS_CONNECTED_TO_SERVER,
                                         INTERNET_STATUS_SENDING_REQUEST, INTERNET_STATUS_REQUEST_SENT,
                                         INTERNET_STATUS_RECEIVING_RESPONSE, INTERNET_STATUS_RESPONSE_RECEIVED}));
    ASSERT_GE(all.size(), 8u);
    EXPECT_EQ(all[0].text, "localhost");
    EXPECT_FALSE(all[1].text.empty());
    EXPECT_FALSE(all[2].text.empty());
    EXPECT_EQ(all[3].text, "127.0.0.1");
    EXPECT_GT(all[5].number, 40u);
    EXPECT_GT(all[7].number, 40u);

    recorder.clear();
    handles.request.reset();
    const auto closing = recorder.all();
    ASSERT_FALSE(closing.empty());
    EXPECT_EQ(closing.back().status, INTERNET_STATUS_HANDLE_CLOSING);
}

// After the request is sent: one 120 per interim answer, one receiving/received pair per
// response head inside the send, then one pair per read that hands over data, carrying its count.
TEST(WininetNotifications, EachInterimAnswerHeadAndReadIsReportedOnce)
{
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";
    const std::string interims = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n";
    const DWORD headBytes = static_cast<DWORD>(head.size());
    using Reported = std::vector<std::pair<DWORD, DWORD>>; // status and its number
    const Reported headPair{{INTERNET_STATUS_RECEIVING_RESPONSE, 0}, {INTERNET_STATUS_RESPONSE_RECEIVED, headBytes}};
    auto reads = [](std::vector<DWORD> counts) {
        Reported pairs;
        for (DWORD count : counts) {
            pairs.push_back({INTERNET_STATUS_RECEIVING_RESPONSE, 0});
            pairs.push_back({INTERNET_STATUS_RESPONSE_RECEIVED, count});
        }
        return pairs;
    };
    auto join = [](Reported a, const Reported& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const struct {
        const char* tag;
        std::string answer;
        DWORD readSize;
        Reported expected;
    } cases[] = {
        {"oneRead", head + "0123456789", 100, join(headPair, reads({10}))},
        {"threeReads", head + "0123456789", 4, join(headPair, reads({4, 4, 2}))},
        {"interimAnswers", interims + head + "0123456789", 100,
         join(join({{INTERNET_STATUS_INTERMEDIATE_RESPONSE, 100}, {INTERNET_STATUS_INTERMEDIATE_RESPONSE, 103}},
                   headPair),
              reads({10}))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tag);
        ScriptedServer server({Step::readRequest(), Step::send(c.answer, {5, 30}), Step::close()});
        NotificationRecorder recorder;
        auto handles = openRequest(server.port(), "GET", "/", 0, 0, &recorder);
        ASSERT_TRUE(HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0)) << GetLastError();
        std::string body;
        ASSERT_TRUE(readBody(handles.request, body, c.readSize));
        Reported reported;
        bool sent = false;
        for (const auto& n : recorder.all()) {
            sent = sent || n.status == INTERNET_STATUS_REQUEST_SENT;
            const bool counted = n.status == INTERNET_STATUS_RECEIVING_RESPONSE ||
                                 n.status == INTERNET_STATUS_RESPONSE_RECEIVED ||
                                 n.status == INTERNET_STATUS_INTERMEDIATE_RESPONSE;
            if (sent && counted)
                reported.push_back({n.status, n.number});
        }
        EXPECT_EQ(reported, c.expected);
    }
}

TEST_F(WininetRequest, AHeaderBlockLargerThanTheBufferAsksForMore)
{
    auto handles = openRequest(port(), "GET", "/bigheaders");
    ASSERT_TRUE(HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0));
    std::vector<char> buffer(8192);
    DWORD length = 8192;
    EXPECT_FALSE(HttpQueryInfoA(handles.request, HTTP_QUERY_RAW_HEADERS_CRLF, buffer.data(), &length, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_GT(length, 8192u);
    const std::string headers = rawHeaders(handles.request);
    EXPECT_EQ(headers.size() + 1, length);
    EXPECT_EQ(headers.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(headers.substr(headers.size() - 4), "\r\n\r\n");

    DWORD small = 0;
    DWORD smallLength = 2;
    EXPECT_FALSE(HttpQueryInfoA(handles.request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &small,
                                &smallLength, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

// Each level as a caller asks for it: text or number, buffers too small (the size needed), and
// the index, which moves past each header found so that a caller's loop ends.
TEST(WininetQueryInfo, EachLevelAnswersAsAsked)
{
    ScriptedServer server({Step::readRequest(),
                           Step::send("HTTP/1.1 299 Fine By Me\r\nContent-Length:   5  \r\nX-A: 1\r\n\r\nhello")});
    auto handles = openRequest(server.port());
    ASSERT_TRUE(HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0)) << GetLastError();
    const DWORD none = 99; // no index passed
    struct Case {
        const char* tag;
        DWORD level;
        DWORD size;
        DWORD index;
        DWORD error; // 0: succeeds
        DWORD length;
        const char* value; // the text, or the number as text
        DWORD indexAfter;
    };
    const Case cases[] = {
        {"status as a number", HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, 4, none, 0, 4, "299", none},
        {"status, buffer too small", HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, 2, none,
         ERROR_INSUFFICIENT_BUFFER, 4, nullptr, none},
        {"status as text", HTTP_QUERY_STATUS_CODE, 16, none, 0, 3, "299", none},
        {"status text", HTTP_QUERY_STATUS_TEXT, 64, none, 0, 10, "Fine By Me", none},
        {"a value without the blanks around it", HTTP_QUERY_CONTENT_LENGTH, 16, none, 0, 1, "5", none},
        {"a length as a number", HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, 4, none, 0, 4, "5", none},
        {"raw headers, buffer too small", HTTP_QUERY_RAW_HEADERS_CRLF, 8, none, ERROR_INSUFFICIENT_BUFFER, 59,
         nullptr, none},
        {"the index moves past the header found", HTTP_QUERY_CONTENT_LENGTH, 16, 0, 0, 1, "5", 1},
        {"no second header of a name", HTTP_QUERY_CONTENT_LENGTH, 16, 1, ERROR_HTTP_HEADER_NOT_FOUND, 16, nullptr, 1},
        {"an unknown level", 9999, 16, none, ERROR_HTTP_INVALID_QUERY_REQUEST, 16, nullptr, none},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        char buffer[64] = {};
        DWORD length = c.size;
        DWORD index = c.index;
        SetLastError(0);
        const BOOL ok = HttpQueryInfoA(handles.request, c.level, buffer, &length, c.index == none ? nullptr : &index);
        EXPECT_EQ(ok ? DWORD{0} : GetLastError(), c.error);
        EXPECT_EQ(length, c.length);
        EXPECT_EQ(index, c.indexAfter);
        if (!ok || c.value == nullptr)
            continue;
        DWORD number = 0;
        std::memcpy(&number, buffer, sizeof number);
        EXPECT_EQ((c.level & HTTP_QUERY_FLAG_NUMBER) != 0 ? std::to_string(number) : std::string(buffer, length),
                  c.value);
    }
}

// What goes on the wire, byte for byte: the head small and in order, the caller's headers as
// written, Content-Length the body's true length.
TEST(WininetRequestHead, EachRequestGoesOutSmallAndExact)
{
    struct Case {
        const char* tag;
        const char* verb;
        const char* path;
        const char* version;
        bool acceptTypes; // text/plain and text/html
        DWORD flags;
        const char* headers;
        const char* body;
        std::string expected; // "PORT" stands for the server's port
    };
    const std::string head = "Host: 127.0.0.1:PORT\r\nUser-Agent: Agent/1.0\r\n";
    const Case cases[] = {
        {"target made safe, fragment dropped", "GET", "/a b/\x80%41?q=1#frag", nullptr, false, INTERNET_FLAG_RELOAD, nullptr,
         nullptr, "GET /a%20b/%80%41?q=1 HTTP/1.1\r\n" + head + "Connection: Keep-Alive\r\n\r\n"},
        {"accept types, caller's headers, body", "POST", "/form", nullptr, true, INTERNET_FLAG_PRAGMA_NOCACHE,
         "X-One: 1\r\nX-Two: 2\r\n\r\n", "a=1&b=2",
         "POST /form HTTP/1.1\r\n" + head
             + "Accept: text/plain, text/html\r\nX-One: 1\r\nX-Two: 2\r\nPragma: no-cache\r\n"
               "Connection: Keep-Alive\r\nContent-Length: 7\r\n\r\na=1&b=2"},
        {"the version asked for", "GET", "/", "HTTP/1.0", false, 0, nullptr, nullptr,
         "GET / HTTP/1.0\r\n" + head + "Connection: Keep-Alive\r\n\r\n"},
        // Servers may refuse a POST or PUT that states no length (411 Length Required).
        {"a post without a body states its length", "POST", "/form", nullptr, false, 0, nullptr, nullptr,
         "POST /form HTTP/1.1\r\n" + head + "Connection: Keep-Alive\r\nContent-Length: 0\r\n\r\n"},
        {"a put without a body states its length", "PUT", "/file", nullptr, false, 0, nullptr, nullptr,
         "PUT /file HTTP/1.1\r\n" + head + "Connection: Keep-Alive\r\nContent-Length: 0\r\n\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        ScriptedServer server({Step::readRequest(), Step::send(httpResponse(200, "ok"))});
        InternetHandle internet(InternetOpenA("Agent/1.0", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
        InternetHandle connection(InternetConnectA(internet, "127.0.0.1", static_cast<INTERNET_PORT>(server.port()),
                                                   nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
        LPCSTR accept[] = {"text/plain", "text/html", nullptr};
        InternetHandle request(HttpOpenRequestA(connection, c.verb, c.path, c.version, nullptr,
                                                c.acceptTypes ? accept : nullptr, c.flags, 0));
        std::string body = c.body != nullptr ? c.body : "";
        ASSERT_TRUE(HttpSendRequestA(request, c.headers, c.headers ? static_cast<DWORD>(std::strlen(c.headers)) : 0,
                                     c.body ? body.data() : nullptr, static_cast<DWORD>(body.size())))
            << GetLastError();
        std::string answer;
        ASSERT_TRUE(readBody(request, answer));
        std::string expected = c.expected;
        expected.replace(expected.find("PORT"), 4, std::to_string(server.port()));
        EXPECT_EQ(server.received(0), expected);
    }
}

TEST(WininetRequestHead, AControlByteInAValueAVerbThatIsNoTokenOrTheCallersFramingIsRefusedBeforeAnythingIsSent)
{
    struct Case {
        const char* tag;
        const char* agent;
        LPCSTR accept;
        const char* referrer;
        DWORD credential; // 0, or the option that carries the bad value
        const char* verb = "GET";
        const char* headers = nullptr; // the caller's
    };
    const Case cases[] = {
        {"agent", "A\r\nInjected: 1", nullptr, nullptr, 0},
        {"agentWithALoneLineFeed", "A\nInjected: 1", nullptr, nullptr, 0},
        {"acceptType", "A", "text/plain\r\nInjected: 1", nullptr, 0},
        {"referrer", "A", nullptr, "http://x/\rInjected: 1", 0},
        {"userName", "A", nullptr, nullptr, INTERNET_OPTION_USERNAME},
        {"proxyPassword", "A", nullptr, nullptr, INTERNET_OPTION_PROXY_PASSWORD},
        {"verb", "A", nullptr, nullptr, 0, "GET /x HTTP/1.1\r\nInjected: 1\r\n"},
        {"verbWithABlank", "A", nullptr, nullptr, 0, "GET /x"},
        {"transferEncodingOfTheCaller", "A", nullptr, nullptr, 0, "GET", "Transfer-Encoding: chunked\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        ScriptedServer server({Step::readRequest(), Step::send(httpResponse(200, "ok")), Step::close()});
        InternetHandle internet(InternetOpenA(c.agent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
        InternetHandle connection(InternetConnectA(internet, "127.0.0.1", static_cast<INTERNET_PORT>(server.port()),
                                                   nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
        LPCSTR accept[] = {c.accept, nullptr};
        InternetHandle request(HttpOpenRequestA(connection, c.verb, "/", nullptr, c.referrer, accept, 0, 0));
        if (c.credential != 0) {
            char value[] = "x\r\nInjected: 1";
            ASSERT_TRUE(InternetSetOptionA(connection, c.credential, value, sizeof value - 1));
        }
        EXPECT_FALSE(HttpSendRequestA(request, c.headers, static_cast<DWORD>(-1), nullptr, 0));
        EXPECT_EQ(GetLastError(), ERROR_HTTP_INVALID_HEADER);
        EXPECT_EQ(server.connectionCount(), 0);
    }
}

TEST(WininetKeepAlive, RequestsOfOneInternetHandleShareTheConnection)
{
    ScriptedServer server({Step::readRequest(), Step::send(httpResponse(200, "again")), Step::repeat()});
    InternetHandle internet(InternetOpenA("A", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    for (int i = 0; i < 3; ++i) {
        InternetHandle connection(InternetConnectA(internet, "127.0.0.1", static_cast<INTERNET_PORT>(server.port()),
                                                   nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
        InternetHandle request(HttpOpenRequestA(connection, "GET", "/", nullptr, nullptr, nullptr,
                                                INTERNET_FLAG_KEEP_CONNECTION, 0));
        // Sending twice on the same request handle sends the request again.
        for (int j = 0; j < 2; ++j) {
            ASSERT_TRUE(HttpSendRequestA(request, nullptr, 0, nullptr, 0)) << GetLastError();
            std::string body;
            ASSERT_TRUE(readBody(request, body));
            EXPECT_EQ(body, "again");
        }
    }
    EXPECT_EQ(server.connectionCount(), 1);
}

// libcurl remembered the last header of a handle's previous response, and a response opening
// with a folded header line then read freed memory (fuzzing found it; ASan shows it here).
TEST(WininetFailures, AFoldedLineRightAfterTheStatusLineIsNoHeaderToContinue)
{
    ScriptedServer server({Step::readRequest(), Step::send(httpResponse(200, "first", "X-One: 1\r\n")),
                           Step::readRequest(),
                           Step::send("HTTP/1.1 200 OK\r\n  folded: on\r\nContent-Length: 2\r\n\r\nok"),
                           Step::close()});
    auto handles = openRequest(server.port());
    ASSERT_TRUE(HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0)) << GetLastError();
    std::string body;
    ASSERT_TRUE(readBody(handles.request, body));
    EXPECT_FALSE(HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0));
    EXPECT_NE(GetLastError(), 0u); // libcurl refuses the line and ends the transfer
}

TEST(WininetFailures, NetworkFailuresMapToTheirCodes)
{
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n";
    struct Case {
        const char* tag;
        Script script;
        bool failsOnSend;
        DWORD error;
    };
    const Case cases[] = {
        {"reset mid-body", {Step::readRequest(), Step::send(head + std::string(20000, 'x')), Step::stall(100ms),
                            Step::reset()}, false, ERROR_INTERNET_CONNECTION_RESET},
        {"closed mid-body", {Step::readRequest(), Step::send(head + std::string(20000, 'x')), Step::close()},
         false, ERROR_INTERNET_CONNECTION_ABORTED},
        {"closed before answering", {Step::readRequest(), Step::close()}, true, ERROR_INTERNET_CONNECTION_ABORTED},
        {"garbage answer", {Step::readRequest(), Step::send("NONSENSE\r\n\r\n"), Step::close()}, true,
         ERROR_HTTP_INVALID_SERVER_RESPONSE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        ScriptedServer server(c.script);
        auto handles = openRequest(server.port());
        const BOOL sent = HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0);
        if (c.failsOnSend) {
            EXPECT_FALSE(sent);
            EXPECT_EQ(GetLastError(), c.error);
            continue;
        }
        ASSERT_TRUE(sent) << GetLastError();
        std::string body;
        EXPECT_FALSE(readBody(handles.request, body));
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(body, std::string(20000, 'x'));
    }
}

TEST(WininetFailures, ARefusedConnectionStopsAfterConnecting)
{
    int port = 0;
    {
        ScriptedServer closed(Script{});
        port = closed.port();
    }
    NotificationRecorder recorder;
    auto handles = openRequest(port, "GET", "/", 0, 0, &recorder);
    EXPECT_FALSE(HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_CANNOT_CONNECT);
    const auto codes = recorder.codes();
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes.back(), INTERNET_STATUS_CONNECTING_TO_SERVER);
}

TEST(WininetFailures, APeerThatAcceptsNothingTimesOutAfterTheConnectTimeout)
{
    ScriptedServer server(std::vector<Script>{}, ScriptedServer::Mode::AcceptNothing);
    auto handles = openRequest(server.port());
    DWORD timeout = 300;
    ASSERT_TRUE(InternetSetOptionA(handles.connection, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof timeout));
    EXPECT_FALSE(HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_TIMEOUT);
}

TEST(WininetFailures, AServerThatStallsTimesOutAfterTheReceiveTimeout)
{
    ScriptedServer server({Step::readRequest(), Step::send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"),
                           Step::stall(10s)});
    auto handles = openRequest(server.port());
    DWORD timeout = 1000;
    ASSERT_TRUE(InternetSetOptionA(handles.connection, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout));
    ASSERT_TRUE(HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0));
    std::string body;
    EXPECT_FALSE(readBody(handles.request, body));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_TIMEOUT);
    EXPECT_EQ(body, "abc");
}

// 0 sets no time-out: the next one in line applies, and a request that waits a moment succeeds.
TEST(WininetFailures, ATimeOutOfZeroSetsNone)
{
    ScriptedServer server({Step::readRequest(), Step::stall(100ms), Step::send(httpResponse(200, "late")), Step::close()});
    auto handles = openRequest(server.port());
    DWORD zero = 0;
    ASSERT_TRUE(InternetSetOptionA(nullptr, INTERNET_OPTION_RECEIVE_TIMEOUT, &zero, sizeof zero));
    ASSERT_TRUE(InternetSetOptionA(nullptr, INTERNET_OPTION_CONNECT_TIMEOUT, &zero, sizeof zero));
    for (DWORD option : {INTERNET_OPTION_RECEIVE_TIMEOUT, INTERNET_OPTION_CONNECT_TIMEOUT})
        ASSERT_TRUE(InternetSetOptionA(handles.connection, option, &zero, sizeof zero));
    const bool sent = HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0) != FALSE;
    const DWORD error = GetLastError();
    std::string body;
    const bool read = sent && readBody(handles.request, body);
    DWORD receive = 30000;
    DWORD connect = 60000;
    ASSERT_TRUE(InternetSetOptionA(nullptr, INTERNET_OPTION_RECEIVE_TIMEOUT, &receive, sizeof receive));
    ASSERT_TRUE(InternetSetOptionA(nullptr, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect));
    EXPECT_TRUE(sent) << error;
    EXPECT_TRUE(read);
    EXPECT_EQ(body, "late");
}

TEST(WininetHandles, ClosingFromAnotherThreadEndsABlockedReadWithCancelled)
{
    ScriptedServer server({Step::readRequest(), Step::send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"),
                           Step::stall(10s)});
    auto handles = openRequest(server.port());
    ASSERT_TRUE(HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0));
    HINTERNET request = handles.request.release();
    std::atomic<bool> reading{false};
    std::thread closer([&] {
        while (!reading)
            std::this_thread::yield();
        std::this_thread::sleep_for(50ms);
        InternetCloseHandle(request);
    });
    char buffer[100];
    DWORD count = 0;
    reading = true;
    const BOOL ok = InternetReadFile(request, buffer, sizeof buffer, &count);
    const DWORD error = GetLastError();
    closer.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, ERROR_INTERNET_OPERATION_CANCELLED);
    EXPECT_FALSE(InternetReadFile(request, buffer, sizeof buffer, &count));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(WininetHandles, ClosingTheInternetHandleFromAnotherThreadEndsABlockedSend)
{
    ScriptedServer server({Step::readRequest(), Step::stall(10s)});
    auto handles = openRequest(server.port());
    HINTERNET internet = handles.internet.release();
    handles.connection.release();
    HINTERNET request = handles.request.release();
    std::thread closer([&] {
        // The server has the request once the send is blocked waiting for the answer.
        while (server.received(0).find("\r\n\r\n") == std::string::npos)
            std::this_thread::sleep_for(1ms);
        InternetCloseHandle(internet);
    });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(HttpSendRequestA(request, nullptr, 0, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_OPERATION_CANCELLED);
    closer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

TEST(WininetHandles, ClosingTheInternetHandleClosesWhatWasOpenedUnderIt)
{
    ScriptedServer server({Step::readRequest(), Step::send(httpResponse(200, "x"))});
    auto handles = openRequest(server.port());
    HINTERNET request = handles.request.release();
    HINTERNET connection = handles.connection.release();
    ASSERT_TRUE(InternetCloseHandle(handles.internet.release()));
    EXPECT_FALSE(HttpSendRequestA(request, nullptr, 0, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(InternetCloseHandle(connection));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(WininetHandles, WrongHandlesAndOptionsAreRefused)
{
    InternetHandle internet(InternetOpenA("A", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    char buffer[4];
    DWORD count = 0;
    EXPECT_FALSE(InternetReadFile(internet, buffer, sizeof buffer, &count));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    EXPECT_FALSE(InternetReadFile(nullptr, buffer, sizeof buffer, &count));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    DWORD value = 5;
    EXPECT_FALSE(InternetSetOptionA(internet, 77, &value, sizeof value));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INVALID_OPTION);
    EXPECT_FALSE(InternetSetOptionA(internet, INTERNET_OPTION_CONNECT_TIMEOUT, &value, 2));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_BAD_OPTION_LENGTH);
    EXPECT_TRUE(InternetSetOptionA(internet, INTERNET_OPTION_USERNAME, const_cast<char*>("user"), 4));
}

TEST(WininetCookies, EachInternetHandleKeepsCookiesUnlessToldNotTo)
{
    LocalHttpServer http;
    http.server().Get("/set", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("Set-Cookie", "session=42; Path=/");
        response.set_content("set", "text/plain");
    });
    http.server().Get("/check", [](const httplib::Request& request, httplib::Response& response) {
        response.set_content(request.get_header_value("Cookie"), "text/plain");
    });
    ASSERT_TRUE(http.start());
    for (DWORD flags : {DWORD{0}, INTERNET_FLAG_NO_COOKIES}) {
        SCOPED_TRACE(flags);
        InternetHandle internet(InternetOpenA("A", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
        InternetHandle connection(InternetConnectA(internet, "127.0.0.1", static_cast<INTERNET_PORT>(http.port()),
                                                   nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
        std::string body;
        for (const char* path : {"/set", "/check"}) {
            InternetHandle request(HttpOpenRequestA(connection, "GET", path, nullptr, nullptr, nullptr, flags, 0));
            ASSERT_TRUE(HttpSendRequestA(request, nullptr, 0, nullptr, 0));
            body.clear();
            ASSERT_TRUE(readBody(request, body));
        }
        EXPECT_EQ(body, flags == 0 ? "session=42" : "");
    }
}

TEST(WininetNotifications, TheServerClosingTheConnectionIsReported)
{
    ScriptedServer server({Step::readRequest(), Step::send(httpResponse(200, "bye", "Connection: close\r\n")),
                           Step::close()});
    NotificationRecorder recorder;
    auto handles = openRequest(server.port(), "GET", "/", 0, 0, &recorder);
    ASSERT_TRUE(HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0));
    std::string body;
    ASSERT_TRUE(readBody(handles.request, body));
    EXPECT_EQ(body, "bye");
    const auto codes = recorder.codes();
    const auto closing = std::find(codes.begin(), codes.end(), INTERNET_STATUS_CLOSING_CONNECTION);
    ASSERT_NE(closing, codes.end());
    ASSERT_NE(closing + 1, codes.end());
    EXPECT_EQ(*(closing + 1), INTERNET_STATUS_CONNECTION_CLOSED);
}

TEST(WininetNotifications, AConnectionHandleWithContextZeroGetsNone)
{
    ScriptedServer server({Step::readRequest(), Step::send(httpResponse(200, "x"))});
    NotificationRecorder recorder;
    InternetHandle internet(InternetOpenA("A", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    InternetSetStatusCallback(internet, NotificationRecorder::callback);
    InternetHandle connection(InternetConnectA(internet, "127.0.0.1", static_cast<INTERNET_PORT>(server.port()),
                                               nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    InternetHandle request(HttpOpenRequestA(connection, "GET", "/", nullptr, nullptr, nullptr, 0, recorder.context()));
    ASSERT_TRUE(HttpSendRequestA(request, nullptr, 0, nullptr, 0));
    request.reset();
    const std::size_t seen = recorder.all().size();
    EXPECT_GT(seen, 0u);
    connection.reset();
    EXPECT_EQ(recorder.all().size(), seen);
}
