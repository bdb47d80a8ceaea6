// Arbitrary writes to URL and its parts: a write either succeeds, after which URL and the parts
// agree (host, port and scheme; a URL write keeps the text as written), or fails and changes
// nothing of URL, HostName, URLPath, ExtraInfo (Port and SSL keep the value just written).
// Then the request is sent through a loopback proxy, which sees the whole destination (host,
// port, path and query, or host and port of a tunnel): it must be where URL points.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "FuzzInput.h"
#include "uAdvHttp.h"
#include "wininet.h"

namespace {

struct Snapshot {
    std::string url, host, path, extra;
    std::int32_t port;
    bool ssl;
    bool operator==(const Snapshot&) const = default;
};

Snapshot Take(const TAdvHttp& http)
{
    return {http.URL(), http.HostName(), http.URLPath(), http.ExtraInfo(), http.Port(), http.SSL()};
}

bool EqualIgnoringCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// URL, cracked again, names the host, port and scheme the parts hold.
void CheckAgreement(const TAdvHttp& http)
{
    if (http.URL().empty())
        return;
    char host[1024];
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof host;
    if (!InternetCrackUrlA(http.URL().c_str(), static_cast<DWORD>(http.URL().size()), 0, &parts))
        std::abort(); // a URL the component accepted must split again
    // An IPv6 address may be written to HostName bare; URL has it in brackets.
    const std::string& name = http.HostName();
    const bool bare = name.find(':') != std::string::npos && name.front() != '[';
    if (!EqualIgnoringCase(host, bare ? "[" + name + "]" : name) || parts.nPort != http.Port() ||
        (parts.nScheme == INTERNET_SCHEME_HTTPS) != http.SSL()) {
        std::fprintf(stderr, "URL \"%s\" names host \"%s\" port %d scheme %d; the parts hold host \"%s\" port %d SSL %d\n",
                     http.URL().c_str(), host, parts.nPort, parts.nScheme, http.HostName().c_str(), http.Port(),
                     http.SSL());
        std::abort();
    }
}

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A host as a resolver takes it: lower case, and an IPv4 address in any of its numeric forms
// ("9", "127.1", "0x7f.0.0.1") as the dotted four numbers libcurl sends.
std::string CanonicalHost(const std::string& host)
{
    in_addr address{};
    if (inet_aton(host.c_str(), &address) != 0)
        return inet_ntoa(address);
    // An IPv6 literal has many spellings of one address ("[::0]" is "[::]").
    in6_addr address6{};
    char text[INET6_ADDRSTRLEN];
    if (host.size() > 2 && host.front() == '[' && host.back() == ']' &&
        inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &address6) == 1 &&
        inet_ntop(AF_INET6, &address6, text, sizeof text) != nullptr)
        return "[" + std::string(text) + "]";
    return Lower(host);
}

// The request target as the layer puts it on the wire: no fragment, unsafe bytes escaped.
std::string Target(const std::string& pathAndQuery)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string target = pathAndQuery.empty() || pathAndQuery[0] != '/' ? "/" : "";
    for (const char c : pathAndQuery.substr(0, pathAndQuery.find('#'))) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F) {
            target += '%';
            target += hex[byte >> 4];
            target += hex[byte & 0x0F];
        } else {
            target += c;
        }
    }
    // libcurl leaves an empty query off the wire ("/p?" goes out as "/p"), which servers take
    // as the same resource.
    if (target.find('?') == target.size() - 1)
        target.pop_back();
    return target;
}

// A loopback HTTP proxy for one request at a time: it keeps the request line and answers 200.
class RecordingProxy {
public:
    RecordingProxy()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(m_listener, 8) != 0)
            std::abort();
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    int Port() const { return m_port; }

    // The request line of the one request that comes before stop is set ("" when none came).
    std::string ServeOne(const std::atomic<bool>& stop)
    {
        pollfd waiting{m_listener, POLLIN, 0};
        while (::poll(&waiting, 1, 20) != 1) {
            if (stop)
                return {};
        }
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return {};
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < (1 << 20)) {
            pollfd reading{fd, POLLIN, 0};
            if (::poll(&reading, 1, 2000) != 1)
                break;
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0)
                break;
            head.append(buffer, static_cast<std::size_t>(got));
        }
        static const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
        ::close(fd);
        return head.substr(0, head.find("\r\n"));
    }

private:
    int m_listener = -1;
    int m_port = 0;
};

// Sends the request through the proxy and checks that it goes where URL points.
void CheckDestination(TAdvHttp& http)
{
    static RecordingProxy proxy;
    if (http.URL().empty())
        return;
    char host[1024], path[4096], extra[4096];
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof host;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = sizeof path;
    parts.lpszExtraInfo = extra;
    parts.dwExtraInfoLength = sizeof extra;
    if (!InternetCrackUrlA(http.URL().c_str(), static_cast<DWORD>(http.URL().size()), 0, &parts))
        std::abort();
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    const bool defaultPort = !secure && parts.nPort == 80;
    const std::string authority = CanonicalHost(host) + (defaultPort ? "" : ":" + std::to_string(parts.nPort));
    const std::string expected = secure ? "CONNECT " + authority + " HTTP/1.1"
                                        : "GET http://" + authority + Target(std::string(path) + extra) + " HTTP/1.1";
    http.SetProxy("127.0.0.1:" + std::to_string(proxy.Port()));
    http.SetRaiseExceptions(false);
    http.SetConnectTimeout(2000);
    std::string seen;
    std::atomic<bool> stop{false};
    std::thread server([&] { seen = proxy.ServeOne(stop); });
    const bool sent = http.Execute(true);
    stop = true;
    server.join();
    if (seen.empty()) {
        // Only a destination the layer refuses outright may go nowhere.
        if (sent || http.LastError() != ERROR_INTERNET_INVALID_URL)
            std::fprintf(stderr, "URL \"%s\": nothing reached the proxy (error %u)\n", http.URL().c_str(), http.LastError());
        if (sent)
            std::abort();
        return;
    }
    std::string line = seen;
    if (!secure) {
        const std::size_t hostStart = line.find("://") + 3;
        std::size_t hostEnd = line.find_first_of("/ ", hostStart);
        if (line[hostStart] == '[')
            hostEnd = line.find(']', hostStart) + 1;
        else
            hostEnd = std::min(hostEnd, line.find(':', hostStart));
        line.replace(hostStart, hostEnd - hostStart, CanonicalHost(line.substr(hostStart, hostEnd - hostStart)));
    } else {
        const std::size_t hostStart = 8;
        const std::size_t hostEnd = line[hostStart] == '[' ? line.find(']', hostStart) + 1 : line.find(':', hostStart);
        line.replace(hostStart, hostEnd - hostStart, CanonicalHost(line.substr(hostStart, hostEnd - hostStart)));
    }
    if (line != expected) {
        std::fprintf(stderr, "URL \"%s\" points to\n  %s\nbut the request went to\n  %s\n", http.URL().c_str(),
                     expected.c_str(), seen.c_str());
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    TAdvHttp http(nullptr);
    static const char* const names[] = {"URL", "HostName", "URLPath", "ExtraInfo", "Port", "SSL"};
    // A failed Port or SSL write keeps the value written while URL keeps the old text, until
    // the next successful write rebuilds it: then URL and the request may disagree.
    bool partsAhead = false;
    for (int step = 0; step < 8; ++step) {
        const std::uint8_t which = input.TakeByte() % 6;
        const std::string text = input.TakeString();
        const Snapshot before = Take(http);
        bool failed = false;
        try {
            switch (which) {
            case 0: http.SetURL(text); break;
            case 1: http.SetHostName(text); break;
            case 2: http.SetURLPath(text); break;
            case 3: http.SetExtraInfo(text); break;
            case 4: http.SetPort(static_cast<std::int32_t>(input.TakeU32() % 70000)); break;
            default: http.SetSSL((input.TakeByte() & 1) != 0); break;
            }
        } catch (const Exception&) {
            failed = true;
        }
        const std::string written = std::string(names[which]) + (which >= 4 ? "" : " := \"" + text + "\"") +
                                 (failed ? " (failed)" : "") + " -> URL \"" + http.URL() + "\"\n";
        if (std::getenv("FUZZ_URL_TRACE") != nullptr)
            std::fputs(written.c_str(), stderr);
        const Snapshot after = Take(http);
        if (failed && which >= 4 && (after.port != before.port || after.ssl != before.ssl))
            partsAhead = true;
        else if (!failed)
            partsAhead = false;
        if (failed) {
            Snapshot expected = before;
            expected.port = after.port; // Port and SSL keep what was written even when the rebuild fails
            expected.ssl = after.ssl;
            if (after != expected)
                std::abort();
            continue;
        }
        if (which == 0 && after.url != text)
            std::abort(); // a URL write keeps the text exactly as written
        if (which == 0 || (before.url.empty() && after.url.empty()))
            continue;
        CheckAgreement(http);
    }
    if (!partsAhead)
        CheckDestination(http);
    return 0;
}
