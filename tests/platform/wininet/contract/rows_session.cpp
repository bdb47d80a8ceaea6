// Rows: opening a session, installing the status callback, connecting, setting options, closing,
// and what a closed handle answers afterwards.
#include "contract.h"

#include <cstring>

namespace contract {

namespace {

HINTERNET openSession(DWORD flags = 0)
{
    return InternetOpenA("contract", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, flags);
}

HINTERNET connectTo(HINTERNET session, int port)
{
    return InternetConnectA(session, "127.0.0.1", static_cast<INTERNET_PORT>(port), nullptr, nullptr,
                            INTERNET_SERVICE_HTTP, 0, 0);
}

std::string callbackAnswer(INTERNET_STATUS_CALLBACK previous)
{
    const DWORD error = GetLastError();
    if (previous == INTERNET_INVALID_STATUS_CALLBACK)
        return "invalid/" + number(error);
    if (previous == nullptr)
        return "null";
    return previous == &Recorder::callback ? "recorder" : "other";
}

std::string setOption(HINTERNET handle, DWORD option, DWORD value, DWORD length = sizeof(DWORD))
{
    return outcome(InternetSetOptionA(handle, option, &value, length));
}

std::string setText(HINTERNET handle, DWORD option, const char* text)
{
    return outcome(InternetSetOptionA(handle, option, const_cast<char*>(text), static_cast<DWORD>(std::strlen(text))));
}

} // namespace

std::vector<Row> sessionRows()
{
    return {
        {"open.preconfig", "-", "InternetOpenA(\"contract\", PRECONFIG, null, null, 0)",
         [](const Peer&) {
             Handle session(openSession());
             return handleOutcome(session);
         }},
        {"open.async", "-", "InternetOpenA(\"contract\", PRECONFIG, null, null, INTERNET_FLAG_ASYNC)",
         [](const Peer&) {
             Handle session(openSession(INTERNET_FLAG_ASYNC));
             return handleOutcome(session);
         }},
        {"open.null-agent", "-", "InternetOpenA(null, PRECONFIG, null, null, 0)",
         [](const Peer&) {
             Handle session(InternetOpenA(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
             return handleOutcome(session);
         }},
        {"open.proxy-named", "-", "InternetOpenA(\"contract\", PROXY, \"127.0.0.1:<refused port>\", null, 0)",
         [](const Peer& peer) {
             const std::string proxy = "127.0.0.1:" + number(peer.refusedPort);
             Handle session(InternetOpenA("contract", INTERNET_OPEN_TYPE_PROXY, proxy.c_str(), nullptr, 0));
             return handleOutcome(session);
         }},
        {"open.proxy-missing", "-", "InternetOpenA(\"contract\", PROXY, null, null, 0)",
         [](const Peer&) {
             Handle session(InternetOpenA("contract", INTERNET_OPEN_TYPE_PROXY, nullptr, nullptr, 0));
             return handleOutcome(session);
         }},
        {"open.unknown-access-type", "-", "InternetOpenA(\"contract\", 2, null, null, 0)",
         [](const Peer&) {
             Handle session(InternetOpenA("contract", 2, nullptr, nullptr, 0));
             return handleOutcome(session);
         }},
        {"callback.set-twice", "-",
         "InternetSetStatusCallback(session, recorder) twice, then (session, null): what each returns",
         [](const Peer&) {
             Handle session(openSession());
             std::string answers = callbackAnswer(InternetSetStatusCallback(session, &Recorder::callback));
             answers += " " + callbackAnswer(InternetSetStatusCallback(session, &Recorder::callback));
             answers += " " + callbackAnswer(InternetSetStatusCallback(session, nullptr));
             return answers;
         }},
        {"callback.set-on-null", "-", "InternetSetStatusCallback(null, recorder)",
         [](const Peer&) {
             SetLastError(0);
             return callbackAnswer(InternetSetStatusCallback(nullptr, &Recorder::callback));
         }},
        {"callback.set-on-connection", "-", "InternetSetStatusCallback(connection, recorder)",
         [](const Peer& peer) {
             Handle session(openSession());
             Handle connection(connectTo(session, peer.port));
             return callbackAnswer(InternetSetStatusCallback(connection, &Recorder::callback));
         }},
        {"connect.http", "-", "InternetConnectA(session, \"127.0.0.1\", port, null, null, HTTP, 0, 0)",
         [](const Peer& peer) {
             Handle session(openSession());
             Handle connection(connectTo(session, peer.port));
             return handleOutcome(connection);
         }},
        {"connect.refused-port", "-", "InternetConnectA to a port nothing listens on (no network work yet)",
         [](const Peer& peer) {
             Handle session(openSession());
             Handle connection(connectTo(session, peer.refusedPort));
             return handleOutcome(connection);
         }},
        {"connect.port-zero", "-", "InternetConnectA(session, \"127.0.0.1\", 0, ...)",
         [](const Peer&) {
             Handle session(openSession());
             Handle connection(connectTo(session, 0));
             return handleOutcome(connection);
         }},
        {"connect.empty-server", "-", "InternetConnectA(session, \"\", port, ...)",
         [](const Peer& peer) {
             Handle session(openSession());
             Handle connection(InternetConnectA(session, "", static_cast<INTERNET_PORT>(peer.port), nullptr, nullptr,
                                               INTERNET_SERVICE_HTTP, 0, 0));
             return handleOutcome(connection);
         }},
        {"connect.null-server", "-", "InternetConnectA(session, null, port, ...)",
         [](const Peer& peer) {
             Handle session(openSession());
             Handle connection(InternetConnectA(session, nullptr, static_cast<INTERNET_PORT>(peer.port), nullptr,
                                               nullptr, INTERNET_SERVICE_HTTP, 0, 0));
             return handleOutcome(connection);
         }},
        {"connect.ftp-service", "-", "InternetConnectA(session, \"127.0.0.1\", <refused port>, ..., FTP, 0, 0)",
         [](const Peer& peer) {
             Handle session(openSession());
             Handle connection(InternetConnectA(session, "127.0.0.1", static_cast<INTERNET_PORT>(peer.refusedPort),
                                               nullptr, nullptr, INTERNET_SERVICE_FTP, 0, 0));
             return handleOutcome(connection);
         }},
        {"connect.on-connection", "-", "InternetConnectA(connection, ...)",
         [](const Peer& peer) {
             Handle session(openSession());
             Handle connection(connectTo(session, peer.port));
             Handle nested(connectTo(connection, peer.port));
             return handleOutcome(nested);
         }},
        {"connect.on-null", "-", "InternetConnectA(null, ...)",
         [](const Peer& peer) {
             Handle connection(connectTo(nullptr, peer.port));
             return handleOutcome(connection);
         }},
        {"option.connect-timeout", "-", "InternetSetOptionA(connection, CONNECT_TIMEOUT, &5000, 4)",
         [](const Peer& peer) {
             Handle session(openSession());
             Handle connection(connectTo(session, peer.port));
             return setOption(connection, INTERNET_OPTION_CONNECT_TIMEOUT, 5000);
         }},
        {"option.connect-timeout-length-2", "-", "InternetSetOptionA(connection, CONNECT_TIMEOUT, &5000, 2)",
         [](const Peer& peer) {
             Handle session(openSession());
             Handle connection(connectTo(session, peer.port));
             return setOption(connection, INTERNET_OPTION_CONNECT_TIMEOUT, 5000, 2);
         }},
        {"option.receive-timeout", "-", "InternetSetOptionA(request, RECEIVE_TIMEOUT, &5000, 4)",
         [](const Peer& peer) {
             Client client(peer, "GET", "/ok/");
             return setOption(client.request, INTERNET_OPTION_RECEIVE_TIMEOUT, 5000);
         }},
        {"option.default-connect-timeout", "-", "InternetSetOptionA(null, CONNECT_TIMEOUT, &60000, 4)",
         [](const Peer&) { return setOption(nullptr, INTERNET_OPTION_CONNECT_TIMEOUT, 60000); }},
        {"option.credentials", "-",
         "InternetSetOptionA(connection, USERNAME / PASSWORD / PROXY_USERNAME / PROXY_PASSWORD, text, length)",
         [](const Peer& peer) {
             Handle session(openSession());
             Handle connection(connectTo(session, peer.port));
             std::string answers = setText(connection, INTERNET_OPTION_USERNAME, "user");
             answers += " " + setText(connection, INTERNET_OPTION_PASSWORD, "pw");
             answers += " " + setText(connection, INTERNET_OPTION_PROXY_USERNAME, "proxyuser");
             answers += " " + setText(connection, INTERNET_OPTION_PROXY_PASSWORD, "proxypw");
             return answers;
         }},
        {"option.unknown", "-", "InternetSetOptionA(connection, 9999, &1, 4)",
         [](const Peer& peer) {
             Handle session(openSession());
             Handle connection(connectTo(session, peer.port));
             return setOption(connection, 9999, 1);
         }},
        {"option.on-null-username", "-", "InternetSetOptionA(null, USERNAME, \"user\", 4)",
         [](const Peer&) { return setText(nullptr, INTERNET_OPTION_USERNAME, "user"); }},
        {"close.each", "-", "InternetCloseHandle on the request, the connection, the session, in turn",
         [](const Peer& peer) {
             Client client(peer, "GET", "/ok/");
             std::string answers = outcome(client.request.close());
             answers += " " + outcome(client.connection.close());
             answers += " " + outcome(client.internet.close());
             return answers;
         }},
        {"close.twice", "-", "InternetCloseHandle(request) twice",
         [](const Peer& peer) {
             Client client(peer, "GET", "/ok/");
             HINTERNET request = client.request.get();
             const std::string first = outcome(client.request.close());
             return first + " " + outcome(InternetCloseHandle(request));
         }},
        {"close.null", "-", "InternetCloseHandle(null)",
         [](const Peer&) { return outcome(InternetCloseHandle(nullptr)); }},
        {"close.session-first", "ok",
         "close the session of a sent request, then query the request's status and close it",
         [](const Peer& peer) {
             Client client(peer, "GET", "/ok/");
             const std::string sent = send(client.request);
             const std::string closed = outcome(client.internet.close());
             const std::string query = status(client.request);
             const std::string again = outcome(client.request.close());
             client.connection.forget();
             return "send " + sent + " close " + closed + " query " + query + " close request " + again;
         }},
        {"closed.send", "-", "close a request, then HttpSendRequestA on it",
         [](const Peer& peer) {
             Client client(peer, "GET", "/ok/");
             HINTERNET request = client.request.get();
             client.request.close();
             return send(request);
         }},
        {"closed.query", "ok", "close a sent request, then HttpQueryInfoA(STATUS_CODE | NUMBER) on it",
         [](const Peer& peer) {
             Client client(peer, "GET", "/ok/");
             send(client.request);
             HINTERNET request = client.request.get();
             client.request.close();
             return status(request);
         }},
        {"closed.read", "ok", "close a sent request, then InternetReadFile(16384) on it",
         [](const Peer& peer) {
             Client client(peer, "GET", "/ok/");
             send(client.request);
             HINTERNET request = client.request.get();
             client.request.close();
             char buffer[16];
             DWORD count = 99;
             const std::string read = outcome(InternetReadFile(request, buffer, sizeof buffer, &count));
             return read + " count=" + number(count);
         }},
        {"closed.connect", "-", "close a session, then InternetConnectA on it",
         [](const Peer& peer) {
             HINTERNET session = openSession();
             InternetCloseHandle(session);
             Handle connection(connectTo(session, peer.port));
             return handleOutcome(connection);
         }},
        {"closed.open-request", "-", "close a connection, then HttpOpenRequestA on it",
         [](const Peer& peer) {
             Handle session(openSession());
             HINTERNET connection = connectTo(session, peer.port);
             InternetCloseHandle(connection);
             Handle request(HttpOpenRequestA(connection, "GET", "/", nullptr, nullptr, nullptr, 0, 0));
             return handleOutcome(request);
         }},
        {"closed.set-callback", "-", "close a session, then InternetSetStatusCallback on it",
         [](const Peer&) {
             HINTERNET session = openSession();
             InternetCloseHandle(session);
             return callbackAnswer(InternetSetStatusCallback(session, &Recorder::callback));
         }},
    };
}

} // namespace contract
