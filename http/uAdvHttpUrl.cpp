// TAdvHttp, continued: URL and its parts. Writing URL splits it into SSL, HostName, Port, URLPath
// and ExtraInfo; writing a part rebuilds URL. A write that fails always raises, whatever
// RaiseExceptions says, and leaves URL as it was.
#include "uAdvHttpPrivate.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <utility>

#include <QByteArray>
#include <QString>

#include <arpa/inet.h>
#include <netinet/in.h>

#include "ascii_text.h"

namespace {

// An IPv6 address as written in a URL's host, without its brackets ("::1").
bool IsIPv6Address(std::string_view text)
{
    in6_addr address{};
    return text.find(':') != std::string_view::npos &&
           inet_pton(AF_INET6, std::string(text).c_str(), &address) == 1;
}

bool IsBracketedIPv6Address(std::string_view host)
{
    return host.size() > 2 && host.front() == '[' && host.back() == ']' &&
           IsIPv6Address(host.substr(1, host.size() - 2));
}

// Text that reads back the same through UTF-8 (no stray byte turned into a replacement mark).
bool IsUtf8(std::string_view text)
{
    const QByteArray bytes(text.data(), static_cast<qsizetype>(text.size()));
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

// A host name as the request connects to it: letters (an internationalized name's in UTF-8,
// which the request sends in its ASCII-compatible form), digits, "-", "." and "_", or an IPv6
// address, written bare ("::1") or bracketed ("[::1]"), which mean the same host. Anything else
// (a user, port, path, escape, or bytes the network library would re-encode) would send the
// request somewhere other than where URL points.
bool IsPlainHostName(std::string_view host)
{
    if (host.empty())
        return false;
    if (IsIPv6Address(host) || IsBracketedIPv6Address(host))
        return true;
    return IsUtf8(host) && std::all_of(host.begin(), host.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x80 || std::isalnum(byte) || c == '-' || c == '.' || c == '_';
    });
}

// Where a URL's server part (user, password, host and port) begins and ends.
std::pair<std::size_t, std::size_t> AuthorityBounds(std::string_view url)
{
    const std::size_t schemeEnd = url.find("://");
    std::size_t start = schemeEnd == std::string_view::npos ? 0 : schemeEnd + 3;
    if (url.substr(0, 2) == "//")
        start = 2; // a reference naming its own server
    const std::size_t end = url.find_first_of("/?#", start);
    return {start, end == std::string_view::npos ? url.size() : end};
}

// A URL as error texts may show it: scheme, host, port and path. The user's name and password
// and the query and fragment (where the wizard's password travels) are left out.
std::string UrlForMessage(std::string_view url)
{
    const auto [authorityStart, authorityEnd] = AuthorityBounds(url);
    std::string_view authority = url.substr(authorityStart, authorityEnd - authorityStart);
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    std::string_view rest = url.substr(authorityEnd);
    rest = rest.substr(0, rest.find_first_of("?#"));
    return std::string(url.substr(0, authorityStart)) + std::string(authority) + std::string(rest);
}

// A host name as error texts may show it: no user or password before an "@", nothing from the
// first "/", "?" or "#".
std::string HostForMessage(std::string_view host)
{
    if (const std::size_t at = host.rfind('@'); at != std::string_view::npos)
        host.remove_prefix(at + 1);
    return std::string(host.substr(0, host.find_first_of("/?#")));
}


// Receiving buffers of a URL split.
constexpr DWORD HostNameSize = 256;
constexpr DWORD UserNameSize = 128;
constexpr DWORD PasswordSize = 128;
constexpr DWORD UrlPathSize = 2048;
constexpr DWORD ExtraInfoSize = 2048;

} // namespace

void TAdvHttp::SetURL(const std::string& url)
{
    Private::TPropertyWrite writing(*d);
    if (!d->SplitURL(url))
        d->RaiseWriteFailure();
}

void TAdvHttp::SetURLPath(const std::string& path)
{
    d->RefuseUnsendablePart("path", path);
    d->SetURLPart(d->FURLPath, path);
}

void TAdvHttp::SetHostName(const std::string& hostName)
{
    d->RefuseUnsendablePart("host name", hostName);
    d->SetURLPart(d->FHostName, hostName);
}

void TAdvHttp::SetExtraInfo(const std::string& extraInfo)
{
    d->RefuseUnsendablePart("extra information", extraInfo);
    bool marked = extraInfo.empty() || extraInfo.front() == '#' || extraInfo.front() == '?';
    d->SetURLPart(d->FExtraInfo, marked ? extraInfo : "?" + extraInfo);
}

void TAdvHttp::SetSSL(bool ssl)
{
    d->SetURLPart(d->FSSL, ssl);
}

void TAdvHttp::SetPort(std::int32_t port)
{
    if (port < 0 || port > 65535) {
        Private::TPropertyWrite writing(*d);
        d->RecordFailure(ERROR_INTERNET_INVALID_URL, "The port " + std::to_string(port) + " is not between 0 and 65535");
        d->RaiseWriteFailure();
    }
    d->SetURLPart(d->FPort, port == 0 ? d->DefaultPort() : port);
}

// A zero byte would cut a part short on its way to the request (SetURL refuses one as well), and
// a '#' in the path would begin the fragment, which no request sends: the path would go out cut
// there, the extra information with it, while URL showed them.
void TAdvHttp::Private::RefuseUnsendablePart(const char* part, const std::string& value)
{
    std::string why;
    if (value.find('\0') != std::string::npos)
        why = std::string("The ") + part + " contains a zero byte";
    else if (std::string_view(part) == "path" && value.find('#') != std::string::npos)
        why = "The path contains '#', which would begin the fragment: write the query and fragment with "
              "SetExtraInfo";
    if (why.empty())
        return;
    TPropertyWrite writing(*this);
    RecordFailure(ERROR_INTERNET_INVALID_URL, why);
    RaiseWriteFailure();
}

// 0 stands for the scheme's default port, which is where a request for port 0 goes.
std::int32_t TAdvHttp::Private::DefaultPort() const
{
    return FSSL ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
}

// Stores a part and rebuilds URL; a failed rebuild puts the old part back, so a write changes
// both or neither.
template <class Value> void TAdvHttp::Private::SetURLPart(Value& part, Value value)
{
    TPropertyWrite writing(*this);
    Value old = std::exchange(part, std::move(value));
    if (BuildURL())
        return;
    part = std::move(old);
    RaiseWriteFailure();
}

bool TAdvHttp::Private::BuildURL()
{
    if (!IsPlainHostName(FHostName))
        return RecordFailure(ERROR_INTERNET_INVALID_URL,
                    "The host name '" + HostForMessage(FHostName) + "' is not a valid host name");
    std::string base = (FSSL ? "https://" : "http://") + platform::ascii::hostInUrl(FHostName);
    // Only http's own port goes unwritten: under SSL even 80 is written, or the URL would name
    // port 443 while requests go to 80.
    if (FPort != INTERNET_DEFAULT_HTTP_PORT || FSSL)
        base += ":" + std::to_string(FPort);
    std::string relative = FURLPath + FExtraInfo;
    std::vector<char> buffer(CombinedUrlSize);
    DWORD length = CombinedUrlSize;
    // The request sends the path as written after the host, with a "/" in front when it has
    // none, so URL shows it that way: dot segments stay ("./x" goes out as "/./x"), and a path
    // that starts with "//" is a path on this host (combined on its own it would name another
    // host). A part that names a scheme is combined as it is, and refused below.
    const std::size_t firstDelimiter = relative.find_first_of("/?#");
    const bool namesScheme = relative.find(':') < firstDelimiter;
    const bool onThisHost = !relative.empty() && !namesScheme && relative.front() != '?' && relative.front() != '#';
    const std::string combinedBase = onThisHost ? base + (relative.front() == '/' ? "" : "/") + relative : base;
    BOOL combined = InternetCombineUrlA(combinedBase.c_str(), onThisHost ? "" : relative.c_str(), buffer.data(),
                                        &length, ICU_ENCODE_SPACES_ONLY | ICU_NO_META);
    if (!combined && GetLastError() == ERROR_INSUFFICIENT_BUFFER)
        return RecordFailure(ERROR_INSUFFICIENT_BUFFER, "The URL would grow too long: " + std::to_string(length - 1) +
                                                   " bytes, more than the " + std::to_string(CombinedUrlSize - 1) +
                                                   " a URL may have");
    if (!CheckResult(combined != FALSE))
        return false;
    if (!combined) // failed without saying why
        return RecordFailure(ERROR_INTERNET_INVALID_URL);
    const std::string_view url(buffer.data(), std::min(length, CombinedUrlSize - 1));
    // The path and extra information are relative to the host: a part naming a scheme or a host
    // of its own ("ftp://h/x", "//h/x") would point URL somewhere the request doesn't go.
    const bool underBase = platform::ascii::startsWithIgnoringCase(url, base) &&
                           (url.size() == base.size() || std::strchr("/?#", url[base.size()]) != nullptr);
    if (!underBase)
        return RecordFailure(ERROR_INTERNET_INVALID_URL,
                    "The path '" + UrlForMessage(relative) + "' does not lie on the server " + base);
    FURL.assign(url);
    return true;
}

// The URL is split as written: escape sequences stay in the parts, so the request carries
// exactly what the caller wrote. Nothing changes unless the whole split succeeds.
bool TAdvHttp::Private::SplitURL(const std::string& url)
{
    if (url.find('\0') != std::string::npos)
        return RecordFailure(ERROR_INTERNET_INVALID_URL, "The URL contains a zero byte");
    // Read one way, "http://127.0.0.1\@elsewhere/" names 127.0.0.1 (a backslash ends the server
    // part for browsers); the split reads it as a user name and goes elsewhere. A URL that two
    // readers take to different servers is refused.
    const auto [authorityStart, authorityEnd] = AuthorityBounds(url);
    if (std::string_view(url).substr(authorityStart, authorityEnd - authorityStart).find('\\') != std::string_view::npos)
        return RecordFailure(ERROR_INTERNET_INVALID_URL,
                             "The URL's server part holds a backslash, which readers of URLs take to different servers");
    std::array<char, HostNameSize> hostName{};
    std::array<char, UserNameSize> userName{};
    std::array<char, PasswordSize> password{};
    std::array<char, UrlPathSize> urlPath{};
    std::array<char, ExtraInfoSize> extraInfo{};
    URL_COMPONENTSA components{};
    components.dwStructSize = sizeof(components);
    components.lpszHostName = hostName.data();
    components.dwHostNameLength = HostNameSize;
    components.lpszUserName = userName.data();
    components.dwUserNameLength = UserNameSize;
    components.lpszPassword = password.data();
    components.dwPasswordLength = PasswordSize;
    components.lpszUrlPath = urlPath.data();
    components.dwUrlPathLength = UrlPathSize;
    components.lpszExtraInfo = extraInfo.data();
    components.dwExtraInfoLength = ExtraInfoSize;

    BOOL cracked = InternetCrackUrlA(url.c_str(), static_cast<DWORD>(url.size()), 0, &components);
    if (!cracked && GetLastError() == ERROR_INSUFFICIENT_BUFFER)
        return RecordFailure(ERROR_INSUFFICIENT_BUFFER,
                             "The URL is too long for this component: its host name may have " +
                                 std::to_string(HostNameSize - 1) + " bytes, its user name and password " +
                                 std::to_string(UserNameSize - 1) + " each, its path and its extra information " +
                                 std::to_string(UrlPathSize - 1) + " each");
    if (!CheckResult(cracked != FALSE))
        return false;
    if (!cracked) // failed without saying why
        return RecordFailure(ERROR_INTERNET_INVALID_URL);
    if (components.nScheme != INTERNET_SCHEME_HTTP && components.nScheme != INTERNET_SCHEME_HTTPS) {
        KeepForCaller(std::make_exception_ptr(Exception("Invalid protocol"))); // no code: not the library's failure
        return false;
    }
    if (hostName[0] == '\0')
        return RecordFailure(ERROR_INTERNET_INVALID_URL, "The URL names no host: " + UrlForMessage(url));
    if (!IsPlainHostName(hostName.data()))
        return RecordFailure(ERROR_INTERNET_INVALID_URL, "The URL names no valid host: " + UrlForMessage(url));

    FSSL = components.nScheme == INTERNET_SCHEME_HTTPS;
    FHostName = hostName.data();
    FURLPath = urlPath.data();
    FExtraInfo = extraInfo.data();
    FPort = components.nPort == 0 ? DefaultPort() : components.nPort;
    // The credentials are no part of the wire's URL: their escapes ("%40" for "@", which can't
    // stand there as it is) are decoded; the path and query keep theirs for the server to decode.
    if (userName[0] != '\0')
        FUserName = platform::ascii::percentDecoded(userName.data());
    if (password[0] != '\0')
        FPassword = platform::ascii::percentDecoded(password.data());
    FURL = url;
    return true;
}

