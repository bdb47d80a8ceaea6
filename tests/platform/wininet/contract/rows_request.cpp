// Rows: opening a request and sending it: what goes on the wire (the peer echoes the request it
// received), extra headers and bodies, and how a send ends against peers that misbehave.
#include "contract.h"

#include <cstring>

namespace contract {

namespace {

struct Sent {
    std::string result; // the send's outcome
    std::string echoed; // the request as the peer received it, when it answered with it
};

struct SendArguments {
    const char* verb = "GET";
    std::string path = "/echo/";
    const char* headers = nullptr;
    DWORD headersLength = 0;
    std::string body;
    bool withBody = false;
    DWORD flags = componentFlags;
};

Sent sendTo(const Peer& peer, const SendArguments& arguments)
{
    Client client(peer, arguments.verb, arguments.path, arguments.flags);
    if (!client.failure.empty())
        return {client.failure, {}};
    DWORD timeout = 2000; // a peer that waits for more than was sent answers nothing
    InternetSetOptionA(client.request, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
    std::string body = arguments.body;
    Sent sent;
    sent.result = outcome(HttpSendRequestA(client.request, arguments.headers, arguments.headersLength,
                                           arguments.withBody ? body.data() : nullptr,
                                           static_cast<DWORD>(body.size())));
    if (sent.result == "TRUE")
        sent.echoed = bodyOf(client.request);
    return sent;
}

// The request line of a GET of `path`.
std::string lineFor(const Peer& peer, const char* path)
{
    Client client(peer, "GET", path == nullptr ? std::string() : path);
    if (path == nullptr) {
        client.request = HttpOpenRequestA(client.connection, "GET", nullptr, nullptr, nullptr, nullptr,
                                          componentFlags, 0);
    }
    const std::string sent = send(client.request);
    if (sent != "TRUE")
        return sent;
    return "line=" + requestLine(bodyOf(client.request));
}

// The lines of the named headers in the request sent with these extra headers (length -1).
std::string withHeaders(const Peer& peer, const char* headers, std::initializer_list<const char*> names,
                        DWORD length = static_cast<DWORD>(-1))
{
    SendArguments arguments;
    arguments.headers = headers;
    arguments.headersLength = length;
    const Sent sent = sendTo(peer, arguments);
    std::string observation = sent.result;
    if (sent.echoed.empty())
        return observation;
    for (const char* name : names)
        observation += std::string(" ") + name + "=" + headerLines(sent.echoed, name);
    return observation;
}

// The header names of a request as sent, in order, with the values of those that don't vary.
std::string headNames(const std::string& echoed)
{
    std::string names;
    std::size_t position = echoed.find("\r\n");
    const std::size_t headEnd = echoed.find("\r\n\r\n");
    while (position != std::string::npos && position < headEnd) {
        const std::size_t begin = position + 2;
        const std::size_t end = echoed.find("\r\n", begin);
        names += (names.empty() ? "" : ",") + escape(echoed.substr(begin, echoed.find(':', begin) - begin));
        position = end;
    }
    return names;
}

std::string challengeStatus(const Peer& peer, const char* user, const char* password, bool asOptions)
{
    Handle session(InternetOpenA("contract", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    Handle connection(InternetConnectA(session, "127.0.0.1", static_cast<INTERNET_PORT>(peer.port),
                                       asOptions ? nullptr : user, asOptions ? nullptr : password,
                                       INTERNET_SERVICE_HTTP, 0, 0));
    if (asOptions) {
        InternetSetOptionA(connection, INTERNET_OPTION_USERNAME, const_cast<char*>(user),
                           static_cast<DWORD>(std::strlen(user)));
        InternetSetOptionA(connection, INTERNET_OPTION_PASSWORD, const_cast<char*>(password),
                           static_cast<DWORD>(std::strlen(password)));
    }
    Handle request(HttpOpenRequestA(connection, "GET", "/basic/", nullptr, nullptr, nullptr, componentFlags, 0));
    const std::string sent = send(request);
    const std::string code = status(request);
    return "send " + sent + " status " + code + " body \"" + escape(bodyOf(request)) + "\"";
}

// Sends to a peer that misbehaves: the send's outcome, and the status when it succeeded. The
// request goes to the closing port, so it starts on a connection of its own: a kept one that the
// peer had closed meanwhile would make the result depend on the rows before.
std::string against(const Peer& peer, const char* path, DWORD receiveTimeout = 0)
{
    Peer fresh = peer;
    fresh.port = peer.closingPort;
    Client client(fresh, "GET", path);
    if (receiveTimeout != 0)
        InternetSetOptionA(client.request, INTERNET_OPTION_RECEIVE_TIMEOUT, &receiveTimeout, sizeof receiveTimeout);
    const std::string sent = send(client.request);
    if (sent != "TRUE")
        return sent;
    const std::string code = status(client.request);
    return sent + " status " + code + " " + readAll(client.request);
}

} // namespace

std::vector<Row> requestRows()
{
    return {
        {"request.open", "-", "HttpOpenRequestA(connection, \"GET\", \"/ok/\", null, null, null, component flags, 1)",
         [](const Peer& peer) {
             Handle session(InternetOpenA("contract", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
             Handle connection(InternetConnectA(session, "127.0.0.1", static_cast<INTERNET_PORT>(peer.port), nullptr,
                                               nullptr, INTERNET_SERVICE_HTTP, 0, 0));
             Handle request(HttpOpenRequestA(connection, "GET", "/ok/", nullptr, nullptr, nullptr, componentFlags, 1));
             return handleOutcome(request);
         }},
        {"request.open-on-session", "-", "HttpOpenRequestA(session, \"GET\", \"/\", ...)",
         [](const Peer&) {
             Handle session(InternetOpenA("contract", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
             Handle request(HttpOpenRequestA(session, "GET", "/", nullptr, nullptr, nullptr, 0, 0));
             return handleOutcome(request);
         }},
        {"request.open-null-verb", "echo", "HttpOpenRequestA(connection, null, \"/echo/v\", ...), send: the request line",
         [](const Peer& peer) {
             Client client(peer, "GET", "/echo/v");
             client.request = HttpOpenRequestA(client.connection, nullptr, "/echo/v", nullptr, nullptr, nullptr,
                                               componentFlags, 0);
             const std::string sent = send(client.request);
             return sent == "TRUE" ? "line=" + requestLine(bodyOf(client.request)) : sent;
         }},
        {"request.head-of-the-component", "echo",
         "GET /echo/ with the component's flags, no extra headers: the header names in order, Host, User-Agent, Accept",
         [](const Peer& peer) {
             const Sent sent = sendTo(peer, {});
             if (sent.echoed.empty())
                 return sent.result;
             return "line=" + requestLine(sent.echoed) + " names=" + headNames(sent.echoed) + " Host="
                 + headerLines(sent.echoed, "Host") + " User-Agent=" + headerLines(sent.echoed, "User-Agent")
                 + " Accept=" + headerLines(sent.echoed, "Accept");
         }},
        {"request.head-without-flags", "echo", "GET /echo/ with request flags 0: the header names in order",
         [](const Peer& peer) {
             SendArguments arguments;
             arguments.flags = 0;
             const Sent sent = sendTo(peer, arguments);
             return sent.echoed.empty() ? sent.result : "names=" + headNames(sent.echoed);
         }},
        {"request.flag-pragma-nocache", "echo", "GET /echo/ with INTERNET_FLAG_PRAGMA_NOCACHE: Pragma, Cache-Control",
         [](const Peer& peer) {
             SendArguments arguments;
             arguments.flags = INTERNET_FLAG_PRAGMA_NOCACHE;
             const Sent sent = sendTo(peer, arguments);
             return sent.echoed.empty() ? sent.result
                                        : "Pragma=" + headerLines(sent.echoed, "Pragma") + " Cache-Control="
                                              + headerLines(sent.echoed, "Cache-Control");
         }},
        {"request.accept-types", "echo", "HttpOpenRequestA(..., accept {\"text/plain\", \"text/html\", null}): Accept",
         [](const Peer& peer) {
             Client client(peer, "GET", "/echo/");
             LPCSTR accept[] = {"text/plain", "text/html", nullptr};
             client.request = HttpOpenRequestA(client.connection, "GET", "/echo/", nullptr, nullptr, accept,
                                               componentFlags, 0);
             const std::string sent = send(client.request);
             return sent == "TRUE" ? "Accept=" + headerLines(bodyOf(client.request), "Accept") : sent;
         }},
        {"request.referrer", "echo", "HttpOpenRequestA(..., referrer \"http://referrer.test/\", ...): Referer",
         [](const Peer& peer) {
             Client client(peer, "GET", "/echo/");
             client.request = HttpOpenRequestA(client.connection, "GET", "/echo/", nullptr, "http://referrer.test/",
                                               nullptr, componentFlags, 0);
             const std::string sent = send(client.request);
             return sent == "TRUE" ? "Referer=" + headerLines(bodyOf(client.request), "Referer") : sent;
         }},
        {"request.version-1.0", "echo", "HttpOpenRequestA(..., \"/echo/\", version \"HTTP/1.0\", ...): the request line",
         [](const Peer& peer) {
             Client client(peer, "GET", "/echo/");
             client.request = HttpOpenRequestA(client.connection, "GET", "/echo/", "HTTP/1.0", nullptr, nullptr,
                                               componentFlags, 0);
             const std::string sent = send(client.request);
             return sent == "TRUE" ? "line=" + requestLine(bodyOf(client.request)) : sent;
         }},
        {"path.plain", "echo", "GET \"/echo/x/y.asp?a=1&b=2\": the request line",
         [](const Peer& peer) { return lineFor(peer, "/echo/x/y.asp?a=1&b=2"); }},
        {"path.empty", "echo", "GET \"\": the request line", [](const Peer& peer) { return lineFor(peer, ""); }},
        {"path.null", "echo", "GET with object name null: the request line",
         [](const Peer& peer) { return lineFor(peer, nullptr); }},
        {"path.without-slash", "echo", "GET \"echo/x\": the request line",
         [](const Peer& peer) { return lineFor(peer, "echo/x"); }},
        {"path.dot-segments", "echo", "GET \"/echo/a/./b/../c\": the request line",
         [](const Peer& peer) { return lineFor(peer, "/echo/a/./b/../c"); }},
        {"path.leading-dot-dot", "echo", "GET \"/../echo/x\": the request line",
         [](const Peer& peer) { return lineFor(peer, "/../echo/x"); }},
        {"path.space", "echo", "GET \"/echo/a b?q=x y\": the request line",
         [](const Peer& peer) { return lineFor(peer, "/echo/a b?q=x y"); }},
        {"path.escapes", "echo", "GET \"/echo/%41%2f?q=%20\": the request line",
         [](const Peer& peer) { return lineFor(peer, "/echo/%41%2f?q=%20"); }},
        {"path.fragment", "echo", "GET \"/echo/p?q=1#frag\": the request line",
         [](const Peer& peer) { return lineFor(peer, "/echo/p?q=1#frag"); }},
        {"path.high-bytes", "echo", "GET \"/echo/caf\\xE9\": the request line",
         [](const Peer& peer) { return lineFor(peer, "/echo/caf\xE9"); }},
        {"send.extra-header", "echo", "HttpSendRequestA(request, \"X-Extra: one\\r\\n\", -1, null, 0): X-Extra",
         [](const Peer& peer) { return withHeaders(peer, "X-Extra: one\r\n", {"X-Extra"}); }},
        {"send.extra-header-exact-length", "echo",
         "HttpSendRequestA(request, \"X-Extra: one\\r\\nX-Not: sent\", 14, null, 0): X-Extra, X-Not",
         [](const Peer& peer) { return withHeaders(peer, "X-Extra: one\r\nX-Not: sent", {"X-Extra", "X-Not"}, 14); }},
        {"send.extra-header-no-line-end", "echo", "HttpSendRequestA(request, \"X-Extra: one\", -1, null, 0): X-Extra",
         [](const Peer& peer) { return withHeaders(peer, "X-Extra: one", {"X-Extra"}); }},
        {"send.extra-headers-two", "echo", "HttpSendRequestA(request, \"X-A: 1\\r\\nX-B: 2\\r\\n\", -1, ...): X-A, X-B",
         [](const Peer& peer) { return withHeaders(peer, "X-A: 1\r\nX-B: 2\r\n", {"X-A", "X-B"}); }},
        {"send.extra-headers-bare-lf", "echo", "HttpSendRequestA(request, \"X-A: 1\\nX-B: 2\\n\", -1, ...): X-A, X-B",
         [](const Peer& peer) { return withHeaders(peer, "X-A: 1\nX-B: 2\n", {"X-A", "X-B"}); }},
        {"send.extra-header-repeated", "echo", "HttpSendRequestA(request, \"X-Dup: 1\\r\\nX-Dup: 2\\r\\n\", -1, ...): X-Dup",
         [](const Peer& peer) { return withHeaders(peer, "X-Dup: 1\r\nX-Dup: 2\r\n", {"X-Dup"}); }},
        {"send.extra-header-empty-value", "echo", "HttpSendRequestA(request, \"X-Empty:\\r\\n\", -1, ...): X-Empty",
         [](const Peer& peer) { return withHeaders(peer, "X-Empty:\r\n", {"X-Empty"}); }},
        {"send.extra-header-replaces-agent", "echo",
         "HttpSendRequestA(request, \"User-Agent: mine\\r\\n\", -1, ...): User-Agent",
         [](const Peer& peer) { return withHeaders(peer, "User-Agent: mine\r\n", {"User-Agent"}); }},
        {"send.extra-header-replaces-accept", "echo", "HttpSendRequestA(request, \"Accept: text/x\\r\\n\", -1, ...): Accept",
         [](const Peer& peer) { return withHeaders(peer, "Accept: text/x\r\n", {"Accept"}); }},
        {"send.extra-header-no-colon", "echo", "HttpSendRequestA(request, \"not a header\\r\\n\", -1, ...)",
         [](const Peer& peer) { return withHeaders(peer, "not a header\r\n", {}); }},
        {"send.body-post", "echo", "POST /echo/ with body \"a=1&b=2\": Content-Length, Content-Type, the body",
         [](const Peer& peer) {
             SendArguments arguments;
             arguments.verb = "POST";
             arguments.body = "a=1&b=2";
             arguments.withBody = true;
             const Sent sent = sendTo(peer, arguments);
             if (sent.echoed.empty())
                 return sent.result;
             return "Content-Length=" + headerLines(sent.echoed, "Content-Length") + " Content-Type="
                 + headerLines(sent.echoed, "Content-Type") + " body=" + requestBody(sent.echoed);
         }},
        {"send.body-with-content-type", "echo",
         "POST /echo/, \"Content-Type: application/x-www-form-urlencoded\\r\\n\", body \"a=1\": Content-Type, the body",
         [](const Peer& peer) {
             SendArguments arguments;
             arguments.verb = "POST";
             arguments.headers = "Content-Type: application/x-www-form-urlencoded\r\n";
             arguments.headersLength = static_cast<DWORD>(-1);
             arguments.body = "a=1";
             arguments.withBody = true;
             const Sent sent = sendTo(peer, arguments);
             if (sent.echoed.empty())
                 return sent.result;
             return "Content-Type=" + headerLines(sent.echoed, "Content-Type") + " body=" + requestBody(sent.echoed);
         }},
        {"send.body-with-wrong-length", "echo",
         "POST /echo/, \"Content-Length: 99\\r\\n\", body \"abc\" (receive time-out 2 s): Content-Length, the body",
         [](const Peer& peer) {
             SendArguments arguments;
             arguments.verb = "POST";
             arguments.headers = "Content-Length: 99\r\n";
             arguments.headersLength = static_cast<DWORD>(-1);
             arguments.body = "abc";
             arguments.withBody = true;
             const Sent sent = sendTo(peer, arguments);
             if (sent.echoed.empty())
                 return sent.result;
             return "Content-Length=" + headerLines(sent.echoed, "Content-Length") + " body=" + requestBody(sent.echoed);
         }},
        {"send.body-binary", "echo", "POST /echo/ with the 4-byte body \"a\\0b\\xFF\": the body",
         [](const Peer& peer) {
             SendArguments arguments;
             arguments.verb = "POST";
             arguments.body = std::string("a\0b\xFF", 4);
             arguments.withBody = true;
             const Sent sent = sendTo(peer, arguments);
             return sent.echoed.empty() ? sent.result : "body=" + requestBody(sent.echoed);
         }},
        {"send.body-with-get", "echo", "GET /echo/ with body \"x\": the request line, Content-Length, the body",
         [](const Peer& peer) {
             SendArguments arguments;
             arguments.body = "x";
             arguments.withBody = true;
             const Sent sent = sendTo(peer, arguments);
             if (sent.echoed.empty())
                 return sent.result;
             return "line=" + requestLine(sent.echoed) + " Content-Length="
                 + headerLines(sent.echoed, "Content-Length") + " body=" + requestBody(sent.echoed);
         }},
        {"send.post-without-body", "echo", "POST /echo/ with no body: the request line, Content-Length",
         [](const Peer& peer) {
             SendArguments arguments;
             arguments.verb = "POST";
             const Sent sent = sendTo(peer, arguments);
             if (sent.echoed.empty())
                 return sent.result;
             return "line=" + requestLine(sent.echoed) + " Content-Length="
                 + headerLines(sent.echoed, "Content-Length");
         }},
        {"send.put-without-body", "echo", "PUT /echo/ with no body: the request line, Content-Length",
         [](const Peer& peer) {
             SendArguments arguments;
             arguments.verb = "PUT";
             const Sent sent = sendTo(peer, arguments);
             if (sent.echoed.empty())
                 return sent.result;
             return "line=" + requestLine(sent.echoed) + " Content-Length="
                 + headerLines(sent.echoed, "Content-Length");
         }},
        {"send.twice", "ok", "send /ok/, read the body, send the same request again and read again",
         [](const Peer& peer) {
             Client client(peer, "GET", "/ok/");
             const std::string first = send(client.request);
             const std::string firstBody = bodyOf(client.request);
             const std::string second = send(client.request);
             const std::string code = status(client.request);
             return first + " " + firstBody + " " + second + " status " + code + " " + bodyOf(client.request);
         }},
        {"send.on-connection", "-", "HttpSendRequestA(connection, ...)",
         [](const Peer& peer) {
             Client client(peer, "GET", "/ok/");
             return send(client.connection);
         }},
        {"send.null", "-", "HttpSendRequestA(null, ...)", [](const Peer&) { return send(nullptr); }},
        {"send.refused", "-", "send to a port nothing listens on",
         [](const Peer& peer) {
             Peer refused = peer;
             refused.port = peer.refusedPort;
             Client client(refused, "GET", "/ok/");
             return send(client.request);
         }},
        {"send.peer-silent", "silent", "send; the peer closes without answering",
         [](const Peer& peer) { return against(peer, "/silent/"); }},
        {"send.peer-reset", "reset", "send; the peer resets the connection",
         [](const Peer& peer) { return against(peer, "/reset/"); }},
        {"send.peer-garbage", "garbage", "send; the peer answers a line that is no status line",
         [](const Peer& peer) { return against(peer, "/garbage/"); }},
        {"send.peer-head-cut", "headcut", "send; the peer's head ends in the middle of a field",
         [](const Peer& peer) { return against(peer, "/headcut/"); }},
        {"send.receive-timeout", "stall", "RECEIVE_TIMEOUT 500 ms on the request; send; the peer stays silent",
         [](const Peer& peer) { return against(peer, "/stall/", 500); }},
        {"send.receive-timeout-on-connection", "stall",
         "RECEIVE_TIMEOUT 500 ms on the connection (as the component sets it); send; the peer stays silent",
         [](const Peer& peer) {
             Client client(peer, "GET", "/stall/");
             DWORD timeout = 500;
             InternetSetOptionA(client.connection, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
             return send(client.request);
         }},
        {"send.redirect", "redirect", "send; 302 to /ok/after: status and body",
         [](const Peer& peer) { return against(peer, "/redirect/"); }},
        {"send.redirect-not-followed", "redirect", "send with INTERNET_FLAG_NO_AUTO_REDIRECT: status",
         [](const Peer& peer) {
             Client client(peer, "GET", "/redirect/", componentFlags | INTERNET_FLAG_NO_AUTO_REDIRECT);
             const std::string sent = send(client.request);
             return sent + " status " + status(client.request);
         }},
        {"send.redirect-dot-segments", "redirectdots",
         "send; 302 to /echo/a/../b/./c: the request line that reached the peer",
         [](const Peer& peer) {
             Client client(peer, "GET", "/redirectdots/");
             const std::string sent = send(client.request);
             return sent == "TRUE" ? "line=" + requestLine(bodyOf(client.request)) : sent;
         }},
        {"send.redirect-absolute", "redirectfull", "send; 302 to http://<host>/ok/full: status and body",
         [](const Peer& peer) { return against(peer, "/redirectfull/"); }},
        {"send.redirect-loop", "redirectloop", "send; a chain of 30 redirects",
         [](const Peer& peer) { return against(peer, "/redirectloop/0"); }},
        {"send.redirect-to-ftp", "redirectftp", "send; 302 to ftp://127.0.0.1/x",
         [](const Peer& peer) { return against(peer, "/redirectftp/"); }},
        {"send.interim-continue", "continue", "send; 100 Continue before the 200: status and body",
         [](const Peer& peer) { return against(peer, "/continue/"); }},
        {"send.challenge-unanswered", "challenge", "send without credentials; 401: status and body",
         [](const Peer& peer) { return against(peer, "/challenge/"); }},
        {"send.credentials-as-options", "basic",
         "USERNAME \"user\" and PASSWORD \"pw\" set on the connection; send: status and the Authorization received",
         [](const Peer& peer) { return challengeStatus(peer, "user", "pw", true); }},
        {"send.credentials-stay-in-their-session", "basic",
         "a session sends with user \"user\" and password \"pw\" (InternetConnectA); then another session without "
         "credentials: the second's status and the Authorization received",
         [](const Peer& peer) {
             challengeStatus(peer, "user", "pw", false);
             Client client(peer, "GET", "/basic/");
             const std::string sent = send(client.request);
             const std::string code = status(client.request);
             return "send " + sent + " status " + code + " body \"" + escape(bodyOf(client.request)) + "\"";
         }},
        {"send.credentials-in-connect", "basic",
         "InternetConnectA with user \"user\", password \"pw\"; send: status and the Authorization received",
         [](const Peer& peer) { return challengeStatus(peer, "user", "pw", false); }},
    };
}

} // namespace contract
