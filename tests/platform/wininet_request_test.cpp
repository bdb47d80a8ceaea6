// Synchronous requests against servers on 127.0.0.1.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "local_http_server.h"
#include "scripted_server.h"
#include "wininet_test_support.h"

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
