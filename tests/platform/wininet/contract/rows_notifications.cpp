// Rows: the status callback: which codes arrive, in which order, with what information, on which
// thread and for which context, in synchronous and asynchronous sessions.
#include "contract.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace contract {

namespace {

constexpr DWORD connectionRole = 2;
constexpr DWORD requestRole = 3;

// A session with the recorder installed, a connection with context `connectionContext` and a
// request with the request role's context (or none). The connection goes to the peer's closing
// port, so each request starts on a connection of its own.
struct Watched {
    Watched(int port, const char* path, DWORD openFlags = 0, bool requestContext = true,
            DWORD_PTR connectionContext = 0)
    {
        internet = InternetOpenA("contract", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, openFlags);
        InternetSetStatusCallback(internet, &Recorder::callback);
        connection = InternetConnectA(internet, "127.0.0.1", static_cast<INTERNET_PORT>(port), nullptr, nullptr,
                                      INTERNET_SERVICE_HTTP, 0, connectionContext);
        request = HttpOpenRequestA(connection, "GET", path, nullptr, nullptr, nullptr, componentFlags,
                                   requestContext ? Recorder::context(requestRole) : 0);
    }
    Handle internet;
    Handle connection;
    Handle request;
};

std::string syncCodes(int port, const char* path, Recorder::Detail detail = Recorder::Detail::Codes)
{
    Watched watched(port, path);
    const std::string sent = send(watched.request);
    return "send " + sent + " seen " + Recorder::seen(detail);
}

// Sends on an asynchronous session and waits for the send's completion.
std::string asyncSend(HINTERNET request)
{
    const std::string sent = outcome(HttpSendRequestA(request, nullptr, 0, nullptr, 0));
    if (sent == "FALSE/" + number(ERROR_IO_PENDING) && !Recorder::waitFor(INTERNET_STATUS_REQUEST_COMPLETE))
        return sent + " (no completion in 5 s)";
    return sent + " completion " + Recorder::lastCompletion();
}

// Reads an asynchronous request to its end: each read's count, "pending>" before those that
// completed later.
std::string asyncReadAll(HINTERNET request, int completionsBefore)
{
    std::string counts;
    std::string body;
    int completions = completionsBefore;
    char buffer[16384];
    for (int i = 0; i < 200; ++i) {
        DWORD count = 0;
        const BOOL ok = InternetReadFile(request, buffer, sizeof buffer, &count);
        std::string item;
        if (!ok) {
            if (GetLastError() != ERROR_IO_PENDING)
                return counts + " then " + outcome(FALSE);
            ++completions;
            if (!Recorder::waitFor(INTERNET_STATUS_REQUEST_COMPLETE, completions))
                return counts + " then pending for 5 s";
            item = "pending>";
        }
        item += number(count);
        counts += (counts.empty() ? "" : ",") + item;
        body.append(buffer, count);
        if (count == 0)
            break;
    }
    return "reads=" + counts + " body=\"" + escape(body) + "\"";
}

// The list without the connection's closing (50 and 51), which may come before or after.
std::string withoutClosing(const std::string& seen)
{
    std::string kept;
    std::size_t begin = 0;
    while (begin <= seen.size()) {
        const std::size_t end = std::min(seen.find(',', begin), seen.size());
        const std::string item = seen.substr(begin, end - begin);
        if (item != "50" && item != "51")
            kept += (kept.empty() ? "" : ",") + item;
        begin = end + 1;
    }
    return kept.empty() ? "(none)" : kept;
}

} // namespace

std::vector<Row> notificationRows()
{
    return {
        {"notify.sync.send-codes", "ok", "recorder on the session, request context set; send: the codes",
         [](const Peer& peer) { return syncCodes(peer.closingPort, "/ok/"); }},
        {"notify.sync.send-information", "ok", "as notify.sync.send-codes: each code with its information",
         [](const Peer& peer) { return syncCodes(peer.closingPort, "/ok/", Recorder::Detail::Information); }},
        {"notify.sync.threads", "ok", "as notify.sync.send-codes: the thread of each notification",
         [](const Peer& peer) { return syncCodes(peer.closingPort, "/ok/", Recorder::Detail::Threads); }},
        {"notify.sync.open-request", "-", "recorder on the session; HttpOpenRequestA with a context: the codes",
         [](const Peer& peer) {
             Watched watched(peer.closingPort, "/ok/");
             return Recorder::seen(Recorder::Detail::Information);
         }},
        {"notify.sync.request-context-zero", "ok", "recorder on the session, request context 0; send: the codes",
         [](const Peer& peer) {
             Watched watched(peer.closingPort, "/ok/", 0, false);
             const std::string sent = send(watched.request);
             return "send " + sent + " seen " + Recorder::seen();
         }},
        {"notify.sync.connection-context", "ok",
         "connection context c2, request context c3; send, read, close both: which context each code has",
         [](const Peer& peer) {
             Watched watched(peer.closingPort, "/ok/", 0, true, Recorder::context(connectionRole));
             send(watched.request);
             bodyOf(watched.request);
             watched.request.close();
             watched.connection.close();
             return Recorder::seen(Recorder::Detail::Contexts);
         }},
        {"notify.sync.reads", "ok", "after the send, InternetReadFile(2) until 0: the codes with their information",
         [](const Peer& peer) {
             Watched watched(peer.closingPort, "/ok/");
             send(watched.request);
             Recorder::clear();
             const std::string reads = readAll(watched.request, 2);
             return reads + " seen " + Recorder::seen(Recorder::Detail::Information);
         }},
        {"notify.sync.connection-closed", "close",
         "after the send, InternetReadFile(16384) until 0 of a Connection: close answer: the codes",
         [](const Peer& peer) {
             Watched watched(peer.closingPort, "/close/");
             send(watched.request);
             Recorder::clear();
             readAll(watched.request);
             return Recorder::seen();
         }},
        {"notify.sync.redirect", "redirect", "send; a 302 followed: the codes with their information",
         [](const Peer& peer) { return syncCodes(peer.closingPort, "/redirect/", Recorder::Detail::Information); }},
        {"notify.sync.redirect-after-credentials", "redirect",
         "a session sends with user \"user\" and password \"pw\" (InternetConnectA); then another session without "
         "credentials follows a 302: the URL its redirect notification names",
         [](const Peer& peer) {
             {
                 Handle session(InternetOpenA("contract", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
                 Handle connection(InternetConnectA(session, "127.0.0.1", static_cast<INTERNET_PORT>(peer.port),
                                                   "user", "pw", INTERNET_SERVICE_HTTP, 0, 0));
                 Handle request(HttpOpenRequestA(connection, "GET", "/ok/", nullptr, nullptr, nullptr,
                                                 componentFlags, 0));
                 send(request);
                 bodyOf(request);
             }
             Watched watched(peer.port, "/redirect/");
             send(watched.request);
             const std::string seen = Recorder::seen(Recorder::Detail::Information);
             const std::size_t redirect = seen.find("110=");
             return redirect == std::string::npos ? std::string("no redirect notification")
                                                  : seen.substr(redirect, seen.find(',', redirect) - redirect);
         }},
        {"notify.sync.redirect-dot-segments", "redirectdots",
         "send; a 302 to /echo/a/../b/./c followed: the URL the redirect notification names",
         [](const Peer& peer) {
             Watched watched(peer.closingPort, "/redirectdots/");
             send(watched.request);
             const std::string seen = Recorder::seen(Recorder::Detail::Information);
             const std::size_t redirect = seen.find("110=");
             return redirect == std::string::npos ? std::string("no redirect notification")
                                                  : seen.substr(redirect, seen.find(',', redirect) - redirect);
         }},
        {"notify.sync.interim", "continue", "send; 100 Continue then 200: the codes with their information",
         [](const Peer& peer) { return syncCodes(peer.closingPort, "/continue/", Recorder::Detail::Information); }},
        {"notify.sync.refused", "-", "send to a port nothing listens on: the codes",
         [](const Peer& peer) {
             return syncCodes(peer.refusedPort, "/ok/");
         }},
        {"notify.sync.close-request", "ok", "send, read to the end, then close the request: the codes of the close",
         [](const Peer& peer) {
             Watched watched(peer.closingPort, "/ok/");
             send(watched.request);
             bodyOf(watched.request);
             Recorder::clear();
             const std::string closed = outcome(watched.request.close());
             return closed + " seen " + Recorder::seen(Recorder::Detail::Information);
         }},
        {"notify.sync.close-session", "-",
         "connection context c2, request context c3, nothing sent; close the session: the codes with contexts",
         [](const Peer& peer) {
             Watched watched(peer.closingPort, "/ok/", 0, true, Recorder::context(connectionRole));
             Recorder::clear();
             const std::string closed = outcome(watched.internet.close());
             watched.connection.forget();
             watched.request.forget();
             return closed + " seen " + Recorder::seen(Recorder::Detail::Contexts);
         }},
        {"notify.sync.second-request", "ok",
         "two requests one after the other on one connection handle (a kept connection): the codes of the second",
         [](const Peer& peer) {
             Watched watched(peer.port, "/ok/");
             send(watched.request);
             bodyOf(watched.request);
             watched.request.close();
             Recorder::clear();
             Handle second(HttpOpenRequestA(watched.connection, "GET", "/ok/again", nullptr, nullptr, nullptr,
                                            componentFlags, Recorder::context(requestRole)));
             const std::string sent = send(second);
             return "send " + sent + " seen " + Recorder::seen();
         }},
        {"notify.sync.callback-removed", "ok", "recorder installed, then InternetSetStatusCallback(session, null); send",
         [](const Peer& peer) {
             Watched watched(peer.closingPort, "/ok/");
             InternetSetStatusCallback(watched.internet, nullptr);
             const std::string sent = send(watched.request);
             return "send " + sent + " seen " + Recorder::seen();
         }},
        {"notify.async.send", "ok", "asynchronous session; send: its answer, the completion, the codes up to it",
         [](const Peer& peer) {
             Watched watched(peer.closingPort, "/ok/", INTERNET_FLAG_ASYNC);
             const std::string sent = asyncSend(watched.request);
             return sent + " seen " + Recorder::seen(Recorder::Detail::Codes, INTERNET_STATUS_REQUEST_COMPLETE);
         }},
        {"notify.async.threads", "ok", "as notify.async.send: the thread of each notification up to the completion",
         [](const Peer& peer) {
             Watched watched(peer.closingPort, "/ok/", INTERNET_FLAG_ASYNC);
             asyncSend(watched.request);
             return Recorder::seen(Recorder::Detail::Threads, INTERNET_STATUS_REQUEST_COMPLETE);
         }},
        {"notify.async.refused", "-", "asynchronous session; send to a port nothing listens on: answer and completion",
         [](const Peer& peer) {
             Watched watched(peer.refusedPort, "/ok/", INTERNET_FLAG_ASYNC);
             return asyncSend(watched.request);
         }},
        {"notify.async.status-after-completion", "ok",
         "asynchronous session; after the send's completion HttpQueryInfoA(STATUS_CODE | FLAG_NUMBER, 4)",
         [](const Peer& peer) {
             Watched watched(peer.closingPort, "/ok/", INTERNET_FLAG_ASYNC);
             asyncSend(watched.request);
             return status(watched.request);
         }},
        {"notify.async.read", "ok",
         "asynchronous session; after the completion InternetReadFile(16384) until 0, waiting for each pending one",
         [](const Peer& peer) {
             Watched watched(peer.closingPort, "/ok/", INTERNET_FLAG_ASYNC);
             asyncSend(watched.request);
             return asyncReadAll(watched.request, 1);
         }},
        {"notify.async.read-slow", "slow",
         "asynchronous session, a body whose second half comes 100 ms later; InternetReadFile(16384) until 0",
         [](const Peer& peer) {
             Watched watched(peer.closingPort, "/slow/", INTERNET_FLAG_ASYNC);
             asyncSend(watched.request);
             return asyncReadAll(watched.request, 1);
         }},
        {"notify.async.read-codes", "ok",
         "asynchronous session; after the completion, InternetReadFile until 0: the codes of the read that handed "
         "over the body (waited for up to 1 s), without the connection's closing",
         [](const Peer& peer) {
             Watched watched(peer.closingPort, "/ok/", INTERNET_FLAG_ASYNC);
             asyncSend(watched.request);
             Recorder::clear();
             asyncReadAll(watched.request, 0);
             Recorder::waitFor(INTERNET_STATUS_RESPONSE_RECEIVED, 1, 1000);
             return withoutClosing(Recorder::seen(Recorder::Detail::Information, INTERNET_STATUS_RESPONSE_RECEIVED));
         }},
        {"notify.async.close-while-sending", "stall",
         "asynchronous session; send to a silent peer, close the request at once: answers and codes after the close",
         [](const Peer& peer) {
             Watched watched(peer.closingPort, "/stall/", INTERNET_FLAG_ASYNC);
             const std::string sent = outcome(HttpSendRequestA(watched.request, nullptr, 0, nullptr, 0));
             Recorder::clear();
             const std::string closed = outcome(watched.request.close());
             Recorder::waitFor(INTERNET_STATUS_HANDLE_CLOSING);
             return "send " + sent + " close " + closed + " seen " + Recorder::seen(Recorder::Detail::Information);
         }},
        {"notify.async.context-zero", "ok",
         "asynchronous session, request context 0; send, then the status polled for up to 3 s",
         [](const Peer& peer) {
             Watched watched(peer.closingPort, "/ok/", INTERNET_FLAG_ASYNC, false);
             const std::string sent = outcome(HttpSendRequestA(watched.request, nullptr, 0, nullptr, 0));
             std::string code = status(watched.request);
             const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
             while (code != "200" && std::chrono::steady_clock::now() < deadline) {
                 std::this_thread::sleep_for(std::chrono::milliseconds(10));
                 code = status(watched.request);
             }
             return "send " + sent + " status " + code + " seen " + Recorder::seen();
         }},
    };
}

} // namespace contract
