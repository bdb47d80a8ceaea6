// URL splitting and combining, and the texts of the library's error codes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "errhandlingapi.h"
#include "libloaderapi.h"
#include "winbase.h"
#include "wininet.h"

namespace {

struct CrackedParts {
    BOOL ok = FALSE;
    DWORD error = 0;
    int scheme = 0;
    int port = 0;
    std::string host, user, password, path, extra;
};

CrackedParts crack(const char* url, DWORD flags = 0)
{
    char host[256], user[128], password[128], path[2048], extra[2048];
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof host;
    parts.lpszUserName = user;
    parts.dwUserNameLength = sizeof user;
    parts.lpszPassword = password;
    parts.dwPasswordLength = sizeof password;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = sizeof path;
    parts.lpszExtraInfo = extra;
    parts.dwExtraInfoLength = sizeof extra;
    CrackedParts result;
    SetLastError(0);
    result.ok = InternetCrackUrlA(url, static_cast<DWORD>(std::strlen(url)), flags, &parts);
    result.error = GetLastError();
    if (result.ok) {
        result.scheme = parts.nScheme;
        result.port = parts.nPort;
        result.host.assign(host, parts.dwHostNameLength);
        result.user.assign(user, parts.dwUserNameLength);
        result.password.assign(password, parts.dwPasswordLength);
        result.path.assign(path, parts.dwUrlPathLength);
        result.extra.assign(extra, parts.dwExtraInfoLength);
    }
    return result;
}

struct CrackCase {
    const char* tag;
    const char* url;
    DWORD flags;
    int scheme;
    int port;
    const char* host;
    const char* user;
    const char* password;
    const char* path;
    const char* extra;
};

const CrackCase crackCases[] = {
    {"plain http", "http://h/x/y.asp?a=1", 0, INTERNET_SCHEME_HTTP, 80, "h", "", "", "/x/y.asp", "?a=1"},
    {"https default port", "https://example.test/", 0, INTERNET_SCHEME_HTTPS, 443, "example.test", "", "", "/", ""},
    {"ftp default port", "ftp://files.test/pub", 0, INTERNET_SCHEME_FTP, 21, "files.test", "", "", "/pub", ""},
    {"unknown scheme", "gizmo://h:7/p", 0, INTERNET_SCHEME_UNKNOWN, 7, "h", "", "", "/p", ""},
    {"explicit port", "http://h:8080/p", 0, INTERNET_SCHEME_HTTP, 8080, "h", "", "", "/p", ""},
    {"port zero", "http://h:0/p", 0, INTERNET_SCHEME_HTTP, 0, "h", "", "", "/p", ""},
    {"port 65535", "http://h:65535/p", 0, INTERNET_SCHEME_HTTP, 65535, "h", "", "", "/p", ""},
    {"empty path", "http://h", 0, INTERNET_SCHEME_HTTP, 80, "h", "", "", "", ""},
    {"user and password", "http://u:pw@h/p", 0, INTERNET_SCHEME_HTTP, 80, "h", "u", "pw", "/p", ""},
    {"query and fragment together", "http://h/p?a=1#frag", 0, INTERNET_SCHEME_HTTP, 80, "h", "", "", "/p",
     "?a=1#frag"},
    {"fragment alone", "http://h/p#frag", 0, INTERNET_SCHEME_HTTP, 80, "h", "", "", "/p", "#frag"},
    {"escapes kept", "http://h/a%20b?q=%41", 0, INTERNET_SCHEME_HTTP, 80, "h", "", "", "/a%20b", "?q=%41"},
    {"escapes decoded", "http://h/a%20b?q=%41", ICU_ESCAPE, INTERNET_SCHEME_HTTP, 80, "h", "", "", "/a b", "?q=A"},
    {"broken escape kept", "http://h/a%2?q=%zz", ICU_ESCAPE, INTERNET_SCHEME_HTTP, 80, "h", "", "", "/a%2", "?q=%zz"},
    {"ipv6 literal", "http://[::1]:81/p", 0, INTERNET_SCHEME_HTTP, 81, "[::1]", "", "", "/p", ""},
};

class CrackUrl : public ::testing::TestWithParam<CrackCase> {};

} // namespace

TEST_P(CrackUrl, SplitsIntoTheParts)
{
    const CrackCase& c = GetParam();
    const CrackedParts parts = crack(c.url, c.flags);
    ASSERT_TRUE(parts.ok) << parts.error;
    EXPECT_EQ(parts.scheme, c.scheme);
    EXPECT_EQ(parts.port, c.port);
    EXPECT_EQ(parts.host, c.host);
    EXPECT_EQ(parts.user, c.user);
    EXPECT_EQ(parts.password, c.password);
    EXPECT_EQ(parts.path, c.path);
    EXPECT_EQ(parts.extra, c.extra);
}

INSTANTIATE_TEST_SUITE_P(Cases, CrackUrl, ::testing::ValuesIn(crackCases),
                         [](const auto& info) {
                             std::string name = info.param.tag;
                             for (char& c : name)
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

TEST(CrackUrlFailures, BadInputFailsWithTheRightCode)
{
    const struct {
        const char* url;
        DWORD error;
    } cases[] = {
        {"no-scheme-here", ERROR_INTERNET_UNRECOGNIZED_SCHEME},
        {"/just/a/path", ERROR_INTERNET_UNRECOGNIZED_SCHEME},
        {" http://h/", ERROR_INTERNET_UNRECOGNIZED_SCHEME},
        {"", ERROR_INTERNET_UNRECOGNIZED_SCHEME},
        {"http://h:65536/", ERROR_INTERNET_INVALID_URL},
        {"http://h:70000/", ERROR_INTERNET_INVALID_URL},
        {"http://h:-1/", ERROR_INTERNET_INVALID_URL},
        {"http://h:8o/", ERROR_INTERNET_INVALID_URL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const CrackedParts parts = crack(c.url);
        EXPECT_FALSE(parts.ok);
        EXPECT_EQ(parts.error, c.error);
    }
}

TEST(CrackUrlBuffers, ATooSmallBufferFailsWithTheNeededSizeAndLeavesTheOthersAlone)
{
    char host[4] = "old";
    char path[64] = "unchanged";
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof host;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = sizeof path;
    EXPECT_FALSE(InternetCrackUrlA("http://longhost/p", 0, 0, &parts));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(parts.dwHostNameLength, 9u);
    EXPECT_STREQ(path, "unchanged");
}

TEST(CrackUrlBuffers, WithoutBuffersThePartsPointIntoTheText)
{
    const char* url = "http://h:81/p?q";
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = 1;
    parts.dwUrlPathLength = 1;
    ASSERT_TRUE(InternetCrackUrlA(url, 0, 0, &parts));
    EXPECT_EQ(parts.lpszHostName, url + 7);
    EXPECT_EQ(parts.dwHostNameLength, 1u);
    EXPECT_EQ(parts.lpszUrlPath, url + 11);
    EXPECT_EQ(parts.dwUrlPathLength, 2u);
    EXPECT_EQ(parts.lpszExtraInfo, nullptr);
}

TEST(CombineUrl, ResolvesRelativeReferences)
{
    const struct {
        const char* base;
        const char* relative;
        const char* combined;
    } cases[] = {
        {"http://h", "", "http://h/"},
        {"http://h:81", "/p", "http://h:81/p"},
        {"https://h:443", "/p", "https://h:443/p"},
        {"http://h", "/x/y.asp?a=1", "http://h/x/y.asp?a=1"},
        {"http://h/a/b", "../c", "http://h/c"},
        {"http://h/a/b", "c?d", "http://h/a/c?d"},
        {"http://h/a", "//other/x", "http://other/x"},
        {"http://h/a", "https://elsewhere/z", "https://elsewhere/z"},
        {"http://h", "/a b?q=x y", "http://h/a%20b?q=x%20y"},
        {"http://h", "/%41?b=%42", "http://h/%41?b=%42"},
        {"http://h", "/caf\xE9?q=\xE9 x#\x01", "http://h/caf\xE9?q=\xE9%20x#\x01"},
        {"http://h/a%2F\xE9/b", "../c%41", "http://h/c%41"},
        // Dot segments go whichever side they come from; the query keeps its text.
        {"http://h/a/b/..", "", "http://h/a/"},
        {"http://h/a/../b/./c?q=/../x", "", "http://h/b/c?q=/../x"},
        {"http://h/a/../b/", "c", "http://h/b/c"},
        // A fragment alone keeps the base's path and query, and replaces its fragment.
        {"http://h/p?a=1", "#top", "http://h/p?a=1#top"},
        {"http://h/d/p#old", "#new x", "http://h/d/p#new%20x"},
        // A scheme longer than 40 characters makes a relative path, escapes kept as written.
        {"http://h/a/", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa://x%00y", "http://h/a/aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa://x%00y"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.base) + " + " + c.relative);
        char buffer[2055];
        DWORD length = sizeof buffer;
        ASSERT_TRUE(InternetCombineUrlA(c.base, c.relative, buffer, &length, ICU_ENCODE_SPACES_ONLY))
            << GetLastError();
        EXPECT_STREQ(buffer, c.combined);
        EXPECT_EQ(length, std::strlen(c.combined));
    }
}

TEST(CombineUrl, NoMetaKeepsDotSegments)
{
    char buffer[64];
    DWORD length = sizeof buffer;
    ASSERT_TRUE(InternetCombineUrlA("http://h", "/a/../c/./d", buffer, &length, ICU_NO_META));
    EXPECT_STREQ(buffer, "http://h/a/../c/./d");
    length = sizeof buffer;
    ASSERT_TRUE(InternetCombineUrlA("http://h/a/../b", "", buffer, &length, ICU_NO_META));
    EXPECT_STREQ(buffer, "http://h/a/../b");
    length = sizeof buffer;
    ASSERT_TRUE(InternetCombineUrlA("http://h", "/a/../c/./d", buffer, &length, 0));
    EXPECT_STREQ(buffer, "http://h/c/d");
}

TEST(CombineUrl, ATooSmallBufferGivesTheNeededLengthWithItsNul)
{
    char buffer[8];
    DWORD length = sizeof buffer;
    EXPECT_FALSE(InternetCombineUrlA("http://h", "/longer/path", buffer, &length, ICU_ENCODE_SPACES_ONLY));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(length, std::strlen("http://h/longer/path") + 1);
}

TEST(CombineUrl, ABaseWithoutSchemeFails)
{
    char buffer[64];
    DWORD length = sizeof buffer;
    EXPECT_FALSE(InternetCombineUrlA("h", "/x", buffer, &length, ICU_ENCODE_SPACES_ONLY));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_UNRECOGNIZED_SCHEME);
}

TEST(ErrorTexts, EveryCodeTheLayerReportsHasATextAndUnknownCodesNone)
{
    HMODULE module = GetModuleHandleA("wininet.dll");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(GetModuleHandleA("WININET.DLL"), module);
    for (DWORD code : {ERROR_INTERNET_TIMEOUT, ERROR_INTERNET_INVALID_URL, ERROR_INTERNET_UNRECOGNIZED_SCHEME,
                       ERROR_INTERNET_NAME_NOT_RESOLVED, ERROR_INTERNET_INVALID_OPTION,
                       ERROR_INTERNET_OPERATION_CANCELLED, ERROR_INTERNET_INCORRECT_HANDLE_TYPE,
                       ERROR_INTERNET_CANNOT_CONNECT, ERROR_INTERNET_CONNECTION_ABORTED,
                       ERROR_INTERNET_CONNECTION_RESET, ERROR_INTERNET_SEC_CERT_DATE_INVALID,
                       ERROR_INTERNET_SEC_CERT_CN_INVALID, ERROR_INTERNET_INVALID_CA,
                       ERROR_HTTP_INVALID_SERVER_RESPONSE, ERROR_HTTP_REDIRECT_FAILED,
                       ERROR_INTERNET_SECURITY_CHANNEL_ERROR, ERROR_INTERNET_DECODING_FAILED}) {
        SCOPED_TRACE(code);
        char text[257] = {};
        EXPECT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE, module, code, 0, text, 256, nullptr), 0u);
        EXPECT_GT(std::strlen(text), 0u);
    }
    char text[257] = {};
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE, module, 12999, 0, text, 256, nullptr), 0u);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(GetModuleHandleA("nothing.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}
