// URL splitting and combining.
//
// InternetCrackUrlA is written by hand: its callers need each part as a range of the text they
// gave (the pointer form of URL_COMPONENTSA), the path and query kept exactly as written unless
// asked to decode, and WinInet's own results for odd input (no scheme: unrecognized scheme, the
// extra information holding query and fragment together). libcurl's URL parser normalises and
// re-encodes, so it can't give those. InternetCombineUrlA leaves the resolution of a relative
// reference to libcurl (curl_url), which follows RFC 3986, and only does the encoding choice:
// libcurl refuses spaces and control bytes and escapes bytes from 0x80 on its own, so the path,
// query and fragment reach it with every such byte and every "%" escaped, and come back decoded,
// then encoded as the flags say.
#include <curl/curl.h>

#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

#include "ascii_text.h"
#include "errhandlingapi.h"
#include "wininet.h"
#include "wininet_curl.h"

namespace {

struct Range {
    std::size_t begin = 0;
    std::size_t length = 0;
    bool present = false;
};

struct CrackedUrl {
    Range scheme, user, password, host, port, path, extra;
    INTERNET_SCHEME schemeNumber = INTERNET_SCHEME_UNKNOWN;
    INTERNET_PORT portNumber = 0;
};

INTERNET_SCHEME schemeNumber(std::string_view scheme)
{
    struct Known {
        const char* name;
        INTERNET_SCHEME number;
    };
    static constexpr Known known[] = {
        {"http", INTERNET_SCHEME_HTTP}, {"https", INTERNET_SCHEME_HTTPS}, {"ftp", INTERNET_SCHEME_FTP},
        {"gopher", INTERNET_SCHEME_GOPHER}, {"file", INTERNET_SCHEME_FILE}, {"news", INTERNET_SCHEME_NEWS},
        {"mailto", INTERNET_SCHEME_MAILTO},
    };
    for (const auto& entry : known) {
        if (platform::ascii::equalIgnoringCase(scheme, entry.name))
            return entry.number;
    }
    return INTERNET_SCHEME_UNKNOWN;
}

INTERNET_PORT defaultPort(INTERNET_SCHEME scheme)
{
    switch (scheme) {
    case INTERNET_SCHEME_HTTP:
        return INTERNET_DEFAULT_HTTP_PORT;
    case INTERNET_SCHEME_HTTPS:
        return INTERNET_DEFAULT_HTTPS_PORT;
    case INTERNET_SCHEME_FTP:
        return INTERNET_DEFAULT_FTP_PORT;
    default:
        return INTERNET_INVALID_PORT_NUMBER;
    }
}

// The scheme: a letter, then letters, digits, "+", "-" or ".", ended by ":".
bool splitScheme(std::string_view url, CrackedUrl& parts)
{
    if (url.empty() || !std::isalpha(static_cast<unsigned char>(url[0])))
        return false;
    std::size_t i = 1;
    while (i < url.size()
           && (std::isalnum(static_cast<unsigned char>(url[i])) || url[i] == '+' || url[i] == '-' || url[i] == '.'))
        ++i;
    if (i >= url.size() || url[i] != ':')
        return false;
    parts.scheme = {0, i, true};
    parts.schemeNumber = schemeNumber(url.substr(0, i));
    return true;
}

// The port must be a number from 0 to 65535. WinInet wraps larger numbers modulo 65536, which
// silently aims at another port; that is refused here.
bool parsePort(std::string_view text, INTERNET_PORT& port)
{
    if (text.empty() || text.size() > 5)
        return false;
    unsigned value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 65535)
        return false;
    port = static_cast<INTERNET_PORT>(value);
    return true;
}

// The authority "user:password@host:port", from begin to end of the url.
bool splitAuthority(std::string_view url, std::size_t begin, std::size_t end, CrackedUrl& parts)
{
    std::string_view authority = url.substr(begin, end - begin);
    std::size_t hostBegin = begin;
    const std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        const std::string_view userInfo = authority.substr(0, at);
        const std::size_t colon = userInfo.find(':');
        if (colon == std::string_view::npos) {
            parts.user = {begin, at, true};
        } else {
            parts.user = {begin, colon, true};
            parts.password = {begin + colon + 1, at - colon - 1, true};
        }
        hostBegin = begin + at + 1;
    }
    std::string_view hostPort = url.substr(hostBegin, end - hostBegin);
    std::size_t hostLength = hostPort.size();
    std::size_t colon = std::string_view::npos;
    if (!hostPort.empty() && hostPort[0] == '[') {
        const std::size_t close = hostPort.find(']');
        if (close == std::string_view::npos)
            return false;
        if (close + 1 < hostPort.size()) {
            if (hostPort[close + 1] != ':')
                return false;
            colon = close + 1;
        }
    } else {
        colon = hostPort.find(':');
    }
    parts.portNumber = defaultPort(parts.schemeNumber);
    if (colon != std::string_view::npos) {
        hostLength = colon;
        parts.port = {hostBegin + colon + 1, hostPort.size() - colon - 1, true};
        // "http://h:/" names no port: the scheme's default stands.
        if (parts.port.length > 0 && !parsePort(hostPort.substr(colon + 1), parts.portNumber))
            return false;
    }
    parts.host = {hostBegin, hostLength, true};
    return true;
}

// Returns 0, or the error code.
DWORD crack(std::string_view url, CrackedUrl& parts)
{
    if (!splitScheme(url, parts))
        return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    std::size_t position = parts.scheme.length + 1;
    if (url.substr(position, 2) == "//") {
        position += 2;
        const std::size_t end = std::min(url.find_first_of("/?#", position), url.size());
        if (!splitAuthority(url, position, end, parts))
            return ERROR_INTERNET_INVALID_URL;
        position = end;
    }
    const std::size_t extra = std::min(url.find_first_of("?#", position), url.size());
    parts.path = {position, extra - position, true};
    parts.extra = {extra, url.size() - extra, true};
    return 0;
}

struct Field {
    LPSTR* pointer;
    DWORD* length;
};

// Sizes first, so a failure leaves the caller's buffers untouched.
bool fits(const Field& field, const std::string& value)
{
    if (*field.pointer == nullptr)
        return true;
    return value.size() + 1 <= *field.length;
}

void store(const Field& field, const std::string& value, const char* url, const Range& range)
{
    if (*field.pointer == nullptr) {
        if (*field.length == 0)
            return;
        // The pointer form: a range of the caller's own text.
        *field.pointer = range.present ? const_cast<char*>(url) + range.begin : nullptr;
        *field.length = static_cast<DWORD>(range.length);
        return;
    }
    std::memcpy(*field.pointer, value.c_str(), value.size() + 1);
    *field.length = static_cast<DWORD>(value.size());
}

// Bytes that can't stand in a URL as given: encoded as %XX under the combine flags.
bool needsEncoding(unsigned char c, DWORD flags)
{
    if ((flags & ICU_NO_ENCODE) != 0)
        return false;
    if ((flags & ICU_ENCODE_SPACES_ONLY) != 0)
        return c == ' ';
    return c <= 0x20 || c >= 0x7F;
}

void appendEscape(std::string& text, unsigned char c)
{
    text += '%';
    platform::ascii::appendHex(text, c);
}

std::string encodeUnsafe(std::string_view text, DWORD flags)
{
    std::string encoded;
    for (const char c : text) {
        if (needsEncoding(static_cast<unsigned char>(c), flags))
            appendEscape(encoded, static_cast<unsigned char>(c));
        else
            encoded += c;
    }
    return encoded;
}

// libcurl reads a longer "scheme:" as the start of a relative path.
constexpr std::size_t longestScheme = 40;

// Where the path begins in a URL or reference, as libcurl sees it: after "scheme://authority" or
// "//authority", else at the start.
std::size_t pathStart(std::string_view url)
{
    std::size_t position = 0;
    CrackedUrl scheme;
    if (splitScheme(url, scheme) && scheme.scheme.length <= longestScheme)
        position = scheme.scheme.length + 1;
    if (url.substr(position, 2) != "//")
        return position;
    return std::min(url.find_first_of("/?#", position + 2), url.size());
}

// The path and after, made safe for libcurl: every "%", space, control byte and byte from
// 0x80 escaped, so that decoding gives back exactly these bytes.
std::string protectPath(std::string_view url)
{
    const std::size_t start = pathStart(url);
    std::string text(url.substr(0, start));
    for (const char c : url.substr(start)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '%' || byte <= 0x20 || byte >= 0x7F)
            appendEscape(text, byte);
        else
            text += c;
    }
    return text;
}

std::string restorePath(std::string_view url, DWORD flags)
{
    const std::size_t start = pathStart(url);
    return std::string(url.substr(0, start)) + encodeUnsafe(platform::ascii::percentDecoded(url.substr(start)), flags);
}

DWORD combineError(CURLUcode code)
{
    switch (code) {
    case CURLUE_BAD_SCHEME:
    case CURLUE_UNSUPPORTED_SCHEME:
        return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    case CURLUE_OUT_OF_MEMORY:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_INTERNET_INVALID_URL;
    }
}

} // namespace

BOOL InternetCrackUrlA(LPCSTR url, DWORD urlLength, DWORD flags, LPURL_COMPONENTSA components)
{
    if (url == nullptr || components == nullptr || components->dwStructSize != sizeof(URL_COMPONENTSA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string_view text(url, urlLength != 0 ? urlLength : std::strlen(url));
    CrackedUrl parts;
    if (const DWORD error = crack(text, parts); error != 0) {
        SetLastError(error);
        return FALSE;
    }
    auto value = [&](const Range& range) { return std::string(text.substr(range.begin, range.length)); };
    auto escaped = [&](const Range& range) {
        const std::string_view part = text.substr(range.begin, range.length);
        return (flags & ICU_ESCAPE) != 0 ? platform::ascii::percentDecoded(part) : std::string(part);
    };
    const Field fields[] = {
        {&components->lpszScheme, &components->dwSchemeLength},
        {&components->lpszHostName, &components->dwHostNameLength},
        {&components->lpszUserName, &components->dwUserNameLength},
        {&components->lpszPassword, &components->dwPasswordLength},
        {&components->lpszUrlPath, &components->dwUrlPathLength},
        {&components->lpszExtraInfo, &components->dwExtraInfoLength},
    };
    const Range* ranges[] = {&parts.scheme, &parts.host, &parts.user, &parts.password, &parts.path, &parts.extra};
    const std::string values[] = {value(parts.scheme), value(parts.host), value(parts.user),
                                  value(parts.password), escaped(parts.path), escaped(parts.extra)};
    bool allFit = true;
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        if (!fits(fields[i], values[i])) {
            *fields[i].length = static_cast<DWORD>(values[i].size() + 1);
            allFit = false;
        }
    }
    if (!allFit) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    for (std::size_t i = 0; i < std::size(fields); ++i)
        store(fields[i], values[i], url, *ranges[i]);
    components->nScheme = parts.schemeNumber;
    components->nPort = parts.portNumber;
    return TRUE;
}

BOOL InternetCombineUrlA(LPCSTR baseUrl, LPCSTR relativeUrl, LPSTR buffer, LPDWORD bufferLength, DWORD flags)
{
    if (baseUrl == nullptr || relativeUrl == nullptr || bufferLength == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const wininet::curl::Url handle = wininet::curl::newUrl();
    if (!handle) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    const std::string base = protectPath(baseUrl);
    const std::string relative = protectPath(relativeUrl);
    // Non-special schemes are combined too; the caller decides what it can use. "." and ".."
    // segments are resolved away unless ICU_NO_META keeps them, the base's as well as the
    // reference's: with an empty reference the base is the result.
    const unsigned int parseFlags = CURLU_NON_SUPPORT_SCHEME | ((flags & ICU_NO_META) != 0 ? CURLU_PATH_AS_IS : 0);
    CURLUcode code = curl_url_set(handle.get(), CURLUPART_URL, base.c_str(), parseFlags);
    if (code == CURLUE_OK && !relative.empty() && relative.front() == '#')
        // A fragment alone replaces the base's fragment and nothing else; libcurl would resolve
        // it against the base's folder, dropping the last segment and the query.
        code = curl_url_set(handle.get(), CURLUPART_FRAGMENT, relative.c_str() + 1, 0);
    else if (code == CURLUE_OK && !relative.empty())
        code = curl_url_set(handle.get(), CURLUPART_URL, relative.c_str(), parseFlags);
    char* resolved = nullptr;
    if (code == CURLUE_OK)
        code = curl_url_get(handle.get(), CURLUPART_URL, &resolved, CURLU_NON_SUPPORT_SCHEME);
    if (code != CURLUE_OK) {
        SetLastError(combineError(code));
        return FALSE;
    }
    const std::string combined = restorePath(resolved, flags);
    curl_free(resolved);
    const std::size_t length = combined.size();
    const bool fitsBuffer = buffer != nullptr && length + 1 <= *bufferLength;
    if (fitsBuffer)
        std::memcpy(buffer, combined.c_str(), length + 1);
    if (!fitsBuffer) {
        *bufferLength = static_cast<DWORD>(length + 1);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    *bufferLength = static_cast<DWORD>(length);
    return TRUE;
}
