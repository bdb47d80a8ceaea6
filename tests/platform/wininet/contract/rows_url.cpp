// Rows: splitting URLs into parts and combining a base with a relative part, with the flags and
// buffers the component uses, dot segments included.
#include "contract.h"

#include <cstring>

namespace contract {

namespace {

std::string part(const char* buffer, DWORD length)
{
    return "\"" + escape(std::string(buffer, length)) + "\"";
}

// InternetCrackUrlA into the component's buffers (host 256, user and password 128, path and extra
// information 2048; the scheme as its number only).
std::string crack(const char* url, DWORD flags, DWORD urlLength = 0)
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
    const DWORD length = urlLength != 0 ? urlLength : static_cast<DWORD>(std::strlen(url));
    const std::string result = outcome(InternetCrackUrlA(url, length, flags, &parts));
    if (result != "TRUE")
        return result;
    return result + " scheme=" + std::to_string(static_cast<int>(parts.nScheme)) + " port=" + number(parts.nPort)
        + " host=" + part(host, parts.dwHostNameLength) + " user=" + part(user, parts.dwUserNameLength)
        + " password=" + part(password, parts.dwPasswordLength) + " path=" + part(path, parts.dwUrlPathLength)
        + " extra=" + part(extra, parts.dwExtraInfoLength);
}

// InternetCombineUrlA into a buffer of `size` bytes (the component's is 2055).
std::string combine(const char* base, const char* relative, DWORD flags, DWORD size = 2055)
{
    std::vector<char> buffer(size + 1, '\0');
    DWORD length = size;
    const std::string result = outcome(InternetCombineUrlA(base, relative, buffer.data(), &length, flags));
    if (result != "TRUE")
        return result + " length=" + number(length);
    return result + " \"" + escape(buffer.data()) + "\" length=" + number(length);
}

// What the component passes when it rebuilds URL from its parts.
constexpr DWORD buildFlags = ICU_ENCODE_SPACES_ONLY;

} // namespace

std::vector<Row> urlRows()
{
    return {
        {"crack.plain", "-", "InternetCrackUrlA(\"http://h/x/y.asp?a=1\", length, ICU_ESCAPE, component buffers)",
         [](const Peer&) { return crack("http://h/x/y.asp?a=1", ICU_ESCAPE); }},
        {"crack.escapes-decoded", "-", "InternetCrackUrlA(\"http://h/a%20b?q=%41\", ICU_ESCAPE)",
         [](const Peer&) { return crack("http://h/a%20b?q=%41", ICU_ESCAPE); }},
        {"crack.escapes-kept", "-", "InternetCrackUrlA(\"http://h/a%20b?q=%41\", 0)",
         [](const Peer&) { return crack("http://h/a%20b?q=%41", 0); }},
        {"crack.broken-escape", "-", "InternetCrackUrlA(\"http://h/a%2?q=%zz\", ICU_ESCAPE)",
         [](const Peer&) { return crack("http://h/a%2?q=%zz", ICU_ESCAPE); }},
        {"crack.https", "-", "InternetCrackUrlA(\"https://example.test/\", ICU_ESCAPE)",
         [](const Peer&) { return crack("https://example.test/", ICU_ESCAPE); }},
        {"crack.explicit-port", "-", "InternetCrackUrlA(\"http://h:8080/p\", ICU_ESCAPE)",
         [](const Peer&) { return crack("http://h:8080/p", ICU_ESCAPE); }},
        {"crack.empty-port", "-", "InternetCrackUrlA(\"http://h:/p\", ICU_ESCAPE)",
         [](const Peer&) { return crack("http://h:/p", ICU_ESCAPE); }},
        {"crack.port-too-large", "-", "InternetCrackUrlA(\"http://h:65616/p\", ICU_ESCAPE)",
         [](const Peer&) { return crack("http://h:65616/p", ICU_ESCAPE); }},
        {"crack.port-not-a-number", "-", "InternetCrackUrlA(\"http://h:8o/p\", ICU_ESCAPE)",
         [](const Peer&) { return crack("http://h:8o/p", ICU_ESCAPE); }},
        {"crack.user-password", "-", "InternetCrackUrlA(\"http://u:pw@h/p\", ICU_ESCAPE)",
         [](const Peer&) { return crack("http://u:pw@h/p", ICU_ESCAPE); }},
        {"crack.query-and-fragment", "-", "InternetCrackUrlA(\"http://h/p?a=1#frag\", ICU_ESCAPE)",
         [](const Peer&) { return crack("http://h/p?a=1#frag", ICU_ESCAPE); }},
        {"crack.fragment-alone", "-", "InternetCrackUrlA(\"http://h/p#frag\", ICU_ESCAPE)",
         [](const Peer&) { return crack("http://h/p#frag", ICU_ESCAPE); }},
        {"crack.no-path", "-", "InternetCrackUrlA(\"http://h\", ICU_ESCAPE)",
         [](const Peer&) { return crack("http://h", ICU_ESCAPE); }},
        {"crack.dot-segments", "-", "InternetCrackUrlA(\"http://h/a/../b/./c\", ICU_ESCAPE)",
         [](const Peer&) { return crack("http://h/a/../b/./c", ICU_ESCAPE); }},
        {"crack.space", "-", "InternetCrackUrlA(\"http://h/a b?q=x y\", ICU_ESCAPE)",
         [](const Peer&) { return crack("http://h/a b?q=x y", ICU_ESCAPE); }},
        {"crack.ftp", "-", "InternetCrackUrlA(\"ftp://files.test/pub\", ICU_ESCAPE)",
         [](const Peer&) { return crack("ftp://files.test/pub", ICU_ESCAPE); }},
        {"crack.unknown-scheme", "-", "InternetCrackUrlA(\"gizmo://h:7/p\", ICU_ESCAPE)",
         [](const Peer&) { return crack("gizmo://h:7/p", ICU_ESCAPE); }},
        {"crack.no-scheme", "-", "InternetCrackUrlA(\"no-scheme-here\", ICU_ESCAPE)",
         [](const Peer&) { return crack("no-scheme-here", ICU_ESCAPE); }},
        {"crack.ipv6", "-", "InternetCrackUrlA(\"http://[::1]:81/p\", ICU_ESCAPE)",
         [](const Peer&) { return crack("http://[::1]:81/p", ICU_ESCAPE); }},
        {"crack.length-shorter-than-text", "-", "InternetCrackUrlA(\"http://h/abc?q\", length 10, ICU_ESCAPE)",
         [](const Peer&) { return crack("http://h/abc?q", ICU_ESCAPE, 10); }},
        {"crack.host-buffer-too-small", "-",
         "InternetCrackUrlA(\"http://longhost/p\", 0) with a 4-byte host buffer: result, host length, path untouched",
         [](const Peer&) {
             char host[4] = "old";
             char path[64] = "unchanged";
             URL_COMPONENTSA parts{};
             parts.dwStructSize = sizeof parts;
             parts.lpszHostName = host;
             parts.dwHostNameLength = sizeof host;
             parts.lpszUrlPath = path;
             parts.dwUrlPathLength = sizeof path;
             const std::string result = outcome(InternetCrackUrlA("http://longhost/p", 0, 0, &parts));
             return result + " host-length=" + number(parts.dwHostNameLength) + " path=\"" + escape(path) + "\"";
         }},
        {"crack.pointers-into-text", "-",
         "InternetCrackUrlA(\"http://h:81/p?q\", 0) with null pointers and lengths 1: offsets and lengths",
         [](const Peer&) {
             const char* url = "http://h:81/p?q";
             URL_COMPONENTSA parts{};
             parts.dwStructSize = sizeof parts;
             parts.dwSchemeLength = 1;
             parts.dwHostNameLength = 1;
             parts.dwUrlPathLength = 1;
             parts.dwExtraInfoLength = 1;
             const std::string result = outcome(InternetCrackUrlA(url, 0, 0, &parts));
             auto at = [url](const char* pointer, DWORD length) {
                 return pointer == nullptr ? std::string("null/") + number(length)
                                           : number(static_cast<unsigned long long>(pointer - url)) + "/"
                                                 + number(length);
             };
             return result + " scheme=" + at(parts.lpszScheme, parts.dwSchemeLength) + " host="
                 + at(parts.lpszHostName, parts.dwHostNameLength) + " path="
                 + at(parts.lpszUrlPath, parts.dwUrlPathLength) + " extra="
                 + at(parts.lpszExtraInfo, parts.dwExtraInfoLength);
         }},
        {"combine.path", "-", "InternetCombineUrlA(\"http://h\", \"/x/y.asp?a=1\", 2055 bytes, ICU_ENCODE_SPACES_ONLY)",
         [](const Peer&) { return combine("http://h", "/x/y.asp?a=1", buildFlags); }},
        {"combine.port", "-", "InternetCombineUrlA(\"http://h:81\", \"/p\", ICU_ENCODE_SPACES_ONLY)",
         [](const Peer&) { return combine("http://h:81", "/p", buildFlags); }},
        {"combine.https-port", "-", "InternetCombineUrlA(\"https://h:443\", \"/p\", ICU_ENCODE_SPACES_ONLY)",
         [](const Peer&) { return combine("https://h:443", "/p", buildFlags); }},
        {"combine.empty-relative", "-", "InternetCombineUrlA(\"http://h\", \"\", ICU_ENCODE_SPACES_ONLY)",
         [](const Peer&) { return combine("http://h", "", buildFlags); }},
        {"combine.query-alone", "-", "InternetCombineUrlA(\"http://h/p\", \"?a=1\", ICU_ENCODE_SPACES_ONLY)",
         [](const Peer&) { return combine("http://h/p", "?a=1", buildFlags); }},
        {"combine.fragment-alone", "-", "InternetCombineUrlA(\"http://h/p?a=1\", \"#top\", ICU_ENCODE_SPACES_ONLY)",
         [](const Peer&) { return combine("http://h/p?a=1", "#top", buildFlags); }},
        {"combine.relative-path", "-", "InternetCombineUrlA(\"http://h/a/b\", \"c?d\", ICU_ENCODE_SPACES_ONLY)",
         [](const Peer&) { return combine("http://h/a/b", "c?d", buildFlags); }},
        {"combine.parent", "-", "InternetCombineUrlA(\"http://h/a/b\", \"../c\", ICU_ENCODE_SPACES_ONLY)",
         [](const Peer&) { return combine("http://h/a/b", "../c", buildFlags); }},
        {"combine.dots-in-relative", "-",
         "InternetCombineUrlA(\"http://h\", \"/a/../c/./d\", ICU_ENCODE_SPACES_ONLY)",
         [](const Peer&) { return combine("http://h", "/a/../c/./d", buildFlags); }},
        {"combine.dots-in-relative-no-meta", "-", "InternetCombineUrlA(\"http://h\", \"/a/../c/./d\", ICU_NO_META)",
         [](const Peer&) { return combine("http://h", "/a/../c/./d", ICU_NO_META); }},
        {"combine.dots-in-base", "-",
         "InternetCombineUrlA(\"http://h/a/../b/./c\", \"\", ICU_ENCODE_SPACES_ONLY)",
         [](const Peer&) { return combine("http://h/a/../b/./c", "", buildFlags); }},
        {"combine.dots-in-base-no-meta", "-", "InternetCombineUrlA(\"http://h/a/../b/./c\", \"\", ICU_NO_META)",
         [](const Peer&) { return combine("http://h/a/../b/./c", "", ICU_NO_META); }},
        {"combine.dots-in-base-and-relative", "-",
         "InternetCombineUrlA(\"http://h/a/./b/\", \"c/../d\", ICU_ENCODE_SPACES_ONLY)",
         [](const Peer&) { return combine("http://h/a/./b/", "c/../d", buildFlags); }},
        {"combine.dots-above-root", "-", "InternetCombineUrlA(\"http://h/a\", \"../../x\", ICU_ENCODE_SPACES_ONLY)",
         [](const Peer&) { return combine("http://h/a", "../../x", buildFlags); }},
        {"combine.trailing-dot-dot", "-", "InternetCombineUrlA(\"http://h/a/b/..\", \"\", ICU_ENCODE_SPACES_ONLY)",
         [](const Peer&) { return combine("http://h/a/b/..", "", buildFlags); }},
        {"combine.dots-in-query", "-",
         "InternetCombineUrlA(\"http://h\", \"/a/x?p=/../b\", ICU_ENCODE_SPACES_ONLY)",
         [](const Peer&) { return combine("http://h", "/a/x?p=/../b", buildFlags); }},
        {"combine.component-base-with-path", "-",
         "InternetCombineUrlA(\"http://h/a/../b?q\", \"\", ICU_ENCODE_SPACES_ONLY | ICU_NO_META)",
         [](const Peer&) { return combine("http://h/a/../b?q", "", buildFlags | ICU_NO_META); }},
        {"combine.spaces-only", "-", "InternetCombineUrlA(\"http://h\", \"/a b?q=x y\", ICU_ENCODE_SPACES_ONLY)",
         [](const Peer&) { return combine("http://h", "/a b?q=x y", buildFlags); }},
        {"combine.spaces-default-flags", "-", "InternetCombineUrlA(\"http://h\", \"/a b\\x01\", 0)",
         [](const Peer&) { return combine("http://h", "/a b\x01", 0); }},
        {"combine.no-encode", "-", "InternetCombineUrlA(\"http://h\", \"/a b\", ICU_NO_ENCODE)",
         [](const Peer&) { return combine("http://h", "/a b", ICU_NO_ENCODE); }},
        {"combine.escapes-kept", "-", "InternetCombineUrlA(\"http://h\", \"/%41?b=%42\", ICU_ENCODE_SPACES_ONLY)",
         [](const Peer&) { return combine("http://h", "/%41?b=%42", buildFlags); }},
        {"combine.high-bytes", "-", "InternetCombineUrlA(\"http://h\", \"/caf\\xE9\", ICU_ENCODE_SPACES_ONLY)",
         [](const Peer&) { return combine("http://h", "/caf\xE9", buildFlags); }},
        {"combine.network-path", "-", "InternetCombineUrlA(\"http://h/a\", \"//other/x\", ICU_ENCODE_SPACES_ONLY)",
         [](const Peer&) { return combine("http://h/a", "//other/x", buildFlags); }},
        {"combine.absolute-relative", "-",
         "InternetCombineUrlA(\"http://h/a\", \"https://elsewhere/z\", ICU_ENCODE_SPACES_ONLY)",
         [](const Peer&) { return combine("http://h/a", "https://elsewhere/z", buildFlags); }},
        {"combine.buffer-too-small", "-",
         "InternetCombineUrlA(\"http://h\", \"/longer/path\", 8 bytes, ICU_ENCODE_SPACES_ONLY): the length needed",
         [](const Peer&) { return combine("http://h", "/longer/path", buildFlags, 8); }},
        {"combine.exact-buffer", "-",
         "InternetCombineUrlA(\"http://h\", \"/p\", 11 bytes (the text and its NUL), ICU_ENCODE_SPACES_ONLY)",
         [](const Peer&) { return combine("http://h", "/p", buildFlags, 11); }},
        {"combine.base-without-scheme", "-", "InternetCombineUrlA(\"h\", \"/x\", ICU_ENCODE_SPACES_ONLY)",
         [](const Peer&) { return combine("h", "/x", buildFlags); }},
    };
}

} // namespace contract
