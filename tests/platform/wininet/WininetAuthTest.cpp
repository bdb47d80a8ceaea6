// Credentials for servers and proxies, the credential prompt hook, and forward proxies.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cstdlib>
#include <map>
#include <regex>

#include "LocalHttpServer.h"
#include "ScriptedServer.h"
#include "WininetTestSupport.h"

using namespace dorvane::test;

namespace {

std::string md5Hex(const std::string& text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 0x0F];
    }
    return out;
}

std::map<std::string, std::string> digestFields(const std::string& header)
{
    std::map<std::string, std::string> fields;
    const std::regex field(R"re((\w+)=(?:"([^"]*)"|([^,\s]*)))re");
    for (auto it = std::sregex_iterator(header.begin(), header.end(), field); it != std::sregex_iterator(); ++it)
        fields[(*it)[1]] = (*it)[2].matched ? (*it)[2].str() : (*it)[3].str();
    return fields;
}

// A server that wants user "alice" with password "s3cret", by Basic on /basic and by Digest on
// /digest (the digest checked in full, as RFC 7616 computes it with qop=auth).
class WininetAuth : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_http.server().Get("/basic", [](const httplib::Request& request, httplib::Response& response) {
            // "alice:s3cret" in base64.
            if (request.get_header_value("Authorization") == "Basic YWxpY2U6czNjcmV0") {
                response.set_content("welcome", "text/plain");
                return;
            }
            response.status = 401;
            response.set_header("WWW-Authenticate", "Basic realm=\"test\"");
            response.set_content("denied", "text/plain");
        });
        m_http.server().Get("/digest", [](const httplib::Request& request, httplib::Response& response) {
            const std::string authorization = request.get_header_value("Authorization");
            if (authorization.rfind("Digest ", 0) == 0) {
                auto fields = digestFields(authorization);
                const std::string ha1 = md5Hex("alice:test:s3cret");
                const std::string ha2 = md5Hex("GET:" + fields["uri"]);
                const std::string expected = md5Hex(ha1 + ":" + fields["nonce"] + ":" + fields["nc"] + ":"
                                                    + fields["cnonce"] + ":" + fields["qop"] + ":" + ha2);
                if (fields["username"] == "alice" && fields["response"] == expected) {
                    response.set_content("digest welcome", "text/plain");
                    return;
                }
            }
            response.status = 401;
            response.set_header("WWW-Authenticate", "Digest realm=\"test\", nonce=\"abc123\", qop=\"auth\"");
            response.set_content("denied", "text/plain");
        });
        ASSERT_TRUE(m_http.start());
    }

    LocalHttpServer m_http;
};

void setCredentials(HINTERNET handle, const char* user, const char* password)
{
    ASSERT_TRUE(InternetSetOptionA(handle, INTERNET_OPTION_USERNAME, const_cast<char*>(user),
                                   static_cast<DWORD>(std::strlen(user))));
    ASSERT_TRUE(InternetSetOptionA(handle, INTERNET_OPTION_PASSWORD, const_cast<char*>(password),
                                   static_cast<DWORD>(std::strlen(password))));
}

} // namespace

TEST_F(WininetAuth, CredentialsAnswerBasicAndDigestChallenges)
{
    const struct {
        const char* path;
        const char* body;
    } cases[] = {{"/basic", "welcome"}, {"/digest", "digest welcome"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        auto handles = openRequest(m_http.port(), "GET", c.path);
        setCredentials(handles.connection, "alice", "s3cret");
        ASSERT_TRUE(HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0)) << GetLastError();
        EXPECT_EQ(statusCode(handles.request), 200u);
        std::string body;
        ASSERT_TRUE(readBody(handles.request, body));
        EXPECT_EQ(body, c.body);
    }
}

TEST_F(WininetAuth, WithoutUsableCredentialsTheChallengeIsTheAnswer)
{
    const struct {
        const char* tag;
        const char* user;
        DWORD flags;
    } cases[] = {{"no credentials", nullptr, 0},
                 {"wrong password", "alice", 0},
                 {"answers disabled", "alice", INTERNET_FLAG_NO_AUTH}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tag);
        auto handles = openRequest(m_http.port(), "GET", "/basic", c.flags);
        if (c.user != nullptr)
            setCredentials(handles.connection, c.user, c.flags != 0 ? "s3cret" : "wrong");
        ASSERT_TRUE(HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0));
        EXPECT_EQ(statusCode(handles.request), 401u);
        std::string body;
        ASSERT_TRUE(readBody(handles.request, body));
        EXPECT_EQ(body, "denied");
    }
}

TEST_F(WininetAuth, TheCredentialPromptHookSuppliesCredentialsForTheResend)
{
    auto handles = openRequest(m_http.port(), "GET", "/digest");
    ASSERT_TRUE(HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0));
    ASSERT_EQ(statusCode(handles.request), 401u);
    const DWORD flags = FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS
        | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA;
    SetInternetErrorDlgHook(nullptr);
    EXPECT_EQ(InternetErrorDlg(nullptr, handles.request, 0, flags, nullptr), ERROR_CANCELLED);

    DWORD seenStatus = 0;
    SetInternetErrorDlgHook([&](HWND, HINTERNET request, DWORD status) -> DWORD {
        seenStatus = status;
        setCredentials(request, "alice", "s3cret");
        return ERROR_INTERNET_FORCE_RETRY;
    });
    EXPECT_EQ(InternetErrorDlg(nullptr, handles.request, 0, flags, nullptr), ERROR_INTERNET_FORCE_RETRY);
    SetInternetErrorDlgHook(nullptr);
    EXPECT_EQ(seenStatus, 401u);
    ASSERT_TRUE(HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0));
    EXPECT_EQ(statusCode(handles.request), 200u);
    std::string body;
    ASSERT_TRUE(readBody(handles.request, body));
    EXPECT_EQ(body, "digest welcome");
    // Nothing to ask about a successful answer.
    EXPECT_EQ(InternetErrorDlg(nullptr, handles.request, 0, flags, nullptr), static_cast<DWORD>(ERROR_SUCCESS));
}

TEST(WininetProxy, AGivenProxyCarriesTheRequestAndItsCredentials)
{
    ScriptedServer proxy({Step::readRequest(),
                          Step::send(httpResponse(407, "who?", "Proxy-Authenticate: Basic realm=\"proxy\"\r\n")),
                          Step::readRequest(), Step::send(httpResponse(200, "via proxy"))});
    const std::string address = "127.0.0.1:" + std::to_string(proxy.port());
    InternetHandle internet(InternetOpenA("A", INTERNET_OPEN_TYPE_PROXY, address.c_str(), nullptr, 0));
    InternetHandle connection(InternetConnectA(internet, "origin.test", 8080, nullptr, nullptr,
                                               INTERNET_SERVICE_HTTP, 0, 0));
    InternetHandle request(HttpOpenRequestA(connection, "GET", "/p?q=1", nullptr, nullptr, nullptr, 0, 0));
    ASSERT_TRUE(InternetSetOptionA(connection, INTERNET_OPTION_PROXY_USERNAME, const_cast<char*>("bob"), 3));
    ASSERT_TRUE(InternetSetOptionA(connection, INTERNET_OPTION_PROXY_PASSWORD, const_cast<char*>("pw"), 2));
    ASSERT_TRUE(HttpSendRequestA(request, nullptr, 0, nullptr, 0)) << GetLastError();
    EXPECT_EQ(statusCode(request), 200u);
    std::string body;
    ASSERT_TRUE(readBody(request, body));
    EXPECT_EQ(body, "via proxy");
    const std::string received = proxy.received(0);
    EXPECT_EQ(received.rfind("GET http://origin.test:8080/p?q=1 HTTP/1.1\r\n", 0), 0u) << received;
    // "bob:pw" in base64.
    EXPECT_NE(received.find("Proxy-Authorization: Basic Ym9iOnB3\r\n"), std::string::npos) << received;
}

TEST(WininetProxy, ThePreconfiguredProxyComesFromTheEnvironment)
{
    ScriptedServer proxy({Step::readRequest(), Step::send(httpResponse(200, "env proxy"))});
    const std::string address = "http://127.0.0.1:" + std::to_string(proxy.port());
    setenv("http_proxy", address.c_str(), 1);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
    InternetHandle internet(InternetOpenA("A", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    InternetHandle connection(InternetConnectA(internet, "origin.test", 80, nullptr, nullptr,
                                               INTERNET_SERVICE_HTTP, 0, 0));
    InternetHandle request(HttpOpenRequestA(connection, "GET", "/x", nullptr, nullptr, nullptr, 0, 0));
    const BOOL sent = HttpSendRequestA(request, nullptr, 0, nullptr, 0);
    unsetenv("http_proxy");
    ASSERT_TRUE(sent) << GetLastError();
    std::string body;
    ASSERT_TRUE(readBody(request, body));
    EXPECT_EQ(body, "env proxy");
    EXPECT_EQ(proxy.received(0).rfind("GET http://origin.test/x HTTP/1.1\r\n", 0), 0u);
}

TEST(WininetProxy, LoopbackIsNeverSentThroughThePreconfiguredProxy)
{
    ScriptedServer origin({Step::readRequest(), Step::send(httpResponse(200, "direct"))});
    setenv("http_proxy", "http://127.0.0.1:9", 1);
    InternetHandle internet(InternetOpenA("A", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    InternetHandle connection(InternetConnectA(internet, "127.0.0.1", static_cast<INTERNET_PORT>(origin.port()),
                                               nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    InternetHandle request(HttpOpenRequestA(connection, "GET", "/", nullptr, nullptr, nullptr, 0, 0));
    const BOOL sent = HttpSendRequestA(request, nullptr, 0, nullptr, 0);
    unsetenv("http_proxy");
    ASSERT_TRUE(sent) << GetLastError();
    std::string body;
    ASSERT_TRUE(readBody(request, body));
    EXPECT_EQ(body, "direct");
}
