// The peer of the Internet client contract: a scripted server on 127.0.0.1 that answers each
// request by the first segment of its path ("/chunked/x" plays "chunked"); any other path gets
// its own request echoed back. Both sides of the contract talk to the same peer, so what differs
// between them is the client.
//
//   wininet_contract_peer             prints "PORT REFUSED_PORT CLOSING_PORT", serves until
//                                     SIGTERM or SIGINT
//   wininet_contract_peer --describe  prints "name<TAB>what it does" for every script
//
// REFUSED_PORT was bound and closed again, so a connect there is refused. CLOSING_PORT plays the
// same scripts, but says "Connection: close" in each final head and closes after each answer, so
// no connection there is ever idle: a client that keeps idle connections for later sessions
// starts each request on a new one, and its notifications don't depend on earlier rows.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "ScriptedServer.h"

using namespace dorvane::test;
using namespace std::chrono_literals;

namespace {

// A peer left behind by a failed run goes away by itself.
constexpr int lifetimeSeconds = 900;
// A redirect loop ends here, so that a client that follows redirects without a limit ends too.
constexpr int redirectLoopLength = 30;

std::string response(std::string_view status, std::string_view body, std::string_view headers = {})
{
    return "HTTP/1.1 " + std::string(status) + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n"
        + std::string(headers) + "\r\n" + std::string(body);
}

std::string closing(std::string_view status, std::string_view body)
{
    return response(status, body, "Connection: close\r\n");
}

std::string pattern(std::size_t size)
{
    std::string body(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        body[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return body;
}

std::string headerValue(const std::string& request, std::string_view name)
{
    std::size_t line = request.find("\r\n");
    while (line != std::string::npos && line + 2 < request.size()) {
        const std::size_t begin = line + 2;
        const std::size_t end = request.find("\r\n", begin);
        if (end == std::string::npos || end == begin)
            break;
        const std::string_view field(request.data() + begin, end - begin);
        if (field.size() > name.size() && field[name.size()] == ':'
            && strncasecmp(field.data(), name.data(), name.size()) == 0)
            return std::string(field.substr(field.find_first_not_of(' ', name.size() + 1)));
        line = end;
    }
    return {};
}

struct PeerScript {
    const char* name;
    const char* description;
    Script (*answer)(const std::string& request);
};

// "hello" compressed with gzip (no name, no time).
const unsigned char gzipHello[] = {0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0xff, 0xcb, 0x48, 0xcd,
                                   0xc9, 0xc9, 0x07, 0x00, 0x86, 0xa6, 0x10, 0x36, 0x05, 0x00, 0x00, 0x00};

const PeerScript scripts[] = {
    {"echo", "200, Content-Length, the request as received for its body; keeps the connection",
     [](const std::string& request) { return Script{Step::send(response("200 OK", request))}; }},
    {"ok", "200 OK, Content-Length 5, \"hello\"; keeps the connection",
     [](const std::string&) { return Script{Step::send(response("200 OK", "hello"))}; }},
    {"close", "200 OK, Connection: close, Content-Length 5, \"hello\", then closes",
     [](const std::string&) { return Script{Step::send(closing("200 OK", "hello")), Step::close()}; }},
    {"empty", "200 OK, Content-Length 0",
     [](const std::string&) { return Script{Step::send(response("200 OK", ""))}; }},
    {"notfound", "404 Not Found, Content-Length 7, \"missing\"",
     [](const std::string&) { return Script{Step::send(response("404 Not Found", "missing"))}; }},
    {"nocontent", "204 No Content, no body",
     [](const std::string&) { return Script{Step::send("HTTP/1.1 204 No Content\r\n\r\n")}; }},
    {"head", "200 OK, Content-Length 5, no body (an answer to HEAD)",
     [](const std::string&) { return Script{Step::send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n")}; }},
    {"big", "200 OK, Content-Length 40000, a pattern of letters",
     [](const std::string&) { return Script{Step::send(response("200 OK", pattern(40000)))}; }},
    {"slow", "200 OK, Content-Length 10, \"hello\" then 100 ms later \"world\"",
     [](const std::string&) {
         const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";
         return Script{Step::send(head + "helloworld", {head.size() + 5}, 100ms)};
     }},
    {"split", "200 OK, Content-Length 5, \"hello\", the head cut into pieces at bytes 3, 10 and 20 with 20 ms gaps",
     [](const std::string&) { return Script{Step::send(response("200 OK", "hello"), {3, 10, 20}, 20ms)}; }},
    {"chunked", "200 OK, chunked: \"hello\" and \" world\" in two chunks",
     [](const std::string&) {
         return Script{Step::send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                  "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n")};
     }},
    {"untilclose", "200 OK, Connection: close, no length, \"until close\", then closes",
     [](const std::string&) {
         return Script{Step::send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nuntil close"), Step::close()};
     }},
    {"cut", "200 OK, Content-Length 10, only \"hello\", then closes",
     [](const std::string&) {
         return Script{Step::send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello"), Step::close()};
     }},
    {"headcut", "\"HTTP/1.1 200 OK\\r\\nContent-Len\", then closes",
     [](const std::string&) { return Script{Step::send("HTTP/1.1 200 OK\r\nContent-Len"), Step::close()}; }},
    {"silent", "closes without answering", [](const std::string&) { return Script{Step::close()}; }},
    {"reset", "resets the connection without answering", [](const std::string&) { return Script{Step::reset()}; }},
    {"garbage", "\"hello\\r\\n\" (no status line), then closes",
     [](const std::string&) { return Script{Step::send("hello\r\n"), Step::close()}; }},
    {"stall", "answers nothing for 3 s, then closes",
     [](const std::string&) { return Script{Step::stall(3s), Step::close()}; }},
    {"lf", "a head with bare LF line ends: \"HTTP/1.1 200 OK\\nContent-Length: 2\\nX-A: 1\\n\\nhi\"",
     [](const std::string&) { return Script{Step::send("HTTP/1.1 200 OK\nContent-Length: 2\nX-A: 1\n\nhi")}; }},
    {"http10", "\"HTTP/1.0 200 OK\", Content-Length 2, \"hi\", then closes",
     [](const std::string&) {
         return Script{Step::send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nhi"), Step::close()};
     }},
    {"repeated", "200 OK with X-Dup: one, X-Dup: two, Content-Length 0",
     [](const std::string&) {
         return Script{Step::send("HTTP/1.1 200 OK\r\nX-Dup: one\r\nX-Dup: two\r\nContent-Length: 0\r\n\r\n")};
     }},
    {"lengthspaces", "200 OK with \"Content-Length:   5  \", \"hello\"",
     [](const std::string&) { return Script{Step::send("HTTP/1.1 200 OK\r\nContent-Length:   5  \r\n\r\nhello")}; }},
    {"reason", "\"HTTP/1.1 299 Fine By Me\", Content-Length 0",
     [](const std::string&) { return Script{Step::send("HTTP/1.1 299 Fine By Me\r\nContent-Length: 0\r\n\r\n")}; }},
    {"gzip", "200 OK, Content-Encoding: gzip, the 25 bytes of \"hello\" compressed",
     [](const std::string&) {
         const std::string body(reinterpret_cast<const char*>(gzipHello), sizeof gzipHello);
         return Script{Step::send(response("200 OK", body, "Content-Encoding: gzip\r\n"))};
     }},
    {"redirect", "302, Location: /ok/after, Content-Length 0",
     [](const std::string&) { return Script{Step::send(response("302 Found", "", "Location: /ok/after\r\n"))}; }},
    {"redirectdots", "302, Location: /echo/a/../b/./c, Content-Length 0",
     [](const std::string&) {
         return Script{Step::send(response("302 Found", "", "Location: /echo/a/../b/./c\r\n"))};
     }},
    {"redirectloop", "302 from /redirectloop/N to /redirectloop/N+1, up to N = 30, where it answers 200 \"30\"",
     [](const std::string& request) {
         const std::size_t at = request.find("/redirectloop/") + std::strlen("/redirectloop/");
         const int hop = std::atoi(request.c_str() + at);
         if (hop >= redirectLoopLength)
             return Script{Step::send(response("200 OK", std::to_string(hop)))};
         const std::string location = "/redirectloop/" + std::to_string(hop + 1);
         return Script{Step::send(response("302 Found", "", "Location: " + location + "\r\n"))};
     }},
    {"redirectftp", "302, Location: ftp://127.0.0.1/x, Content-Length 0",
     [](const std::string&) {
         return Script{Step::send(response("302 Found", "", "Location: ftp://127.0.0.1/x\r\n"))};
     }},
    {"redirectfull", "302, Location: http://<the request's Host>/ok/full, Content-Length 0",
     [](const std::string& request) {
         const std::string location = "http://" + headerValue(request, "Host") + "/ok/full";
         return Script{Step::send(response("302 Found", "", "Location: " + location + "\r\n"))};
     }},
    {"continue", "\"HTTP/1.1 100 Continue\", then 200 OK, Content-Length 5, \"hello\"",
     [](const std::string&) {
         return Script{Step::send("HTTP/1.1 100 Continue\r\n\r\n" + response("200 OK", "hello"))};
     }},
    {"challenge", "401, WWW-Authenticate: Basic realm=\"contract\", Content-Length 6, \"denied\"",
     [](const std::string&) {
         return Script{Step::send(response("401 Unauthorized", "denied", "WWW-Authenticate: Basic realm=\"contract\"\r\n"))};
     }},
    {"basic", "200 with the Authorization header received as the body; 401 as \"challenge\" without one",
     [](const std::string& request) {
         const std::string authorization = headerValue(request, "Authorization");
         if (authorization.empty())
             return Script{Step::send(response("401 Unauthorized", "denied",
                                               "WWW-Authenticate: Basic realm=\"contract\"\r\n"))};
         return Script{Step::send(response("200 OK", authorization))};
     }},
};

std::string firstSegment(const std::string& request)
{
    const std::size_t begin = request.find(" /");
    if (begin == std::string::npos)
        return {};
    const std::size_t end = request.find_first_of("/? ", begin + 2);
    return request.substr(begin + 2, end == std::string::npos ? std::string::npos : end - begin - 2);
}

Script answer(const std::string& request)
{
    const std::string name = firstSegment(request);
    for (const PeerScript& script : scripts) {
        if (name == script.name)
            return script.answer(request);
    }
    return scripts[0].answer(request);
}

// Where the last response head in `bytes` ends its status line, or npos.
std::size_t afterLastStatusLine(const std::string& bytes)
{
    std::size_t status = std::string::npos;
    for (std::size_t at = bytes.find("HTTP/1."); at != std::string::npos; at = bytes.find("HTTP/1.", at + 1)) {
        if (at == 0 || bytes[at - 1] == '\n')
            status = at;
    }
    const std::size_t end = status == std::string::npos ? status : bytes.find("\r\n", status);
    return end == std::string::npos ? end : end + 2;
}

Script closingAnswer(const std::string& request)
{
    Script script = answer(request);
    const std::string header = "Connection: close\r\n";
    for (auto step = script.rbegin(); step != script.rend(); ++step) {
        if (step->kind != Step::Kind::Send)
            continue;
        const std::size_t at = afterLastStatusLine(step->bytes);
        if (at != std::string::npos && step->bytes.find("\r\nConnection:") == std::string::npos) {
            step->bytes.insert(at, header);
            for (std::size_t& cut : step->splitAt)
                cut += cut >= at ? header.size() : 0;
        }
        break;
    }
    script.push_back(Step::close());
    return script;
}

int refusedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--describe") == 0) {
        for (const PeerScript& script : scripts)
            std::printf("%s\t%s\n", script.name, script.description);
        return 0;
    }
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    // Blocked before the server's threads start, so they inherit it and only sigtimedwait takes them.
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    ScriptedServer server{Router(answer)};
    ScriptedServer closingServer{Router(closingAnswer)};
    const int refused = refusedPort();
    if (!server.listening() || !closingServer.listening() || refused < 0) {
        std::fprintf(stderr, "wininet_contract_peer: cannot listen on 127.0.0.1\n");
        return 1;
    }
    std::printf("%d %d %d\n", server.port(), refused, closingServer.port());
    std::fflush(stdout);
    const timespec lifetime{lifetimeSeconds, 0};
    sigtimedwait(&stopSignals, nullptr, &lifetime);
    server.stop();
    closingServer.stop();
    return 0;
}
