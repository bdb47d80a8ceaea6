// Rows: reading the response: the status, the raw header block, the length, buffers too small,
// and the body in pieces, to its end and past it.
#include "contract.h"

#include <algorithm>
#include <cstring>

namespace contract {

namespace {

// Queries a level into a buffer of `size` bytes (no buffer when size is 0): the outcome, the
// length answered, and the value (text or, with HTTP_QUERY_FLAG_NUMBER, the number).
std::string query(HINTERNET request, DWORD level, DWORD size, DWORD* index = nullptr)
{
    std::vector<char> buffer(size + 1, '\x7F');
    DWORD length = size;
    const std::string result = outcome(HttpQueryInfoA(request, level, size > 0 ? buffer.data() : nullptr, &length,
                                                      index));
    std::string observation = result + " length=" + number(length);
    if (result != "TRUE")
        return observation;
    if ((level & HTTP_QUERY_FLAG_NUMBER) != 0) {
        DWORD value = 0;
        std::memcpy(&value, buffer.data(), sizeof value);
        return observation + " value=" + number(value);
    }
    // The value's bytes up to the length answered, and whether a NUL follows them.
    const std::size_t shown = std::min<std::size_t>(length, size);
    observation += " value=\"" + escape(std::string(buffer.data(), shown)) + "\"";
    if (shown < size)
        observation += buffer[shown] == '\0' ? " nul" : " no-nul";
    return observation;
}

// Sends a GET of `path` and queries.
std::string querySent(const Peer& peer, const char* path, DWORD level, DWORD size)
{
    Client client(peer, "GET", path);
    const std::string sent = send(client.request);
    if (sent != "TRUE")
        return "send " + sent;
    return query(client.request, level, size);
}

std::string readSent(const Peer& peer, const char* path, DWORD piece, const char* verb = "GET")
{
    Client client(peer, verb, path);
    const std::string sent = send(client.request);
    if (sent != "TRUE")
        return "send " + sent;
    return readAll(client.request, piece);
}

constexpr DWORD statusNumber = HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER;
constexpr DWORD lengthNumber = HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER;

} // namespace

std::vector<Row> responseRows()
{
    return {
        {"query.status-number", "ok", "HttpQueryInfoA(STATUS_CODE | FLAG_NUMBER, 4 bytes)",
         [](const Peer& peer) { return querySent(peer, "/ok/", statusNumber, 4); }},
        {"query.status-number-404", "notfound", "HttpQueryInfoA(STATUS_CODE | FLAG_NUMBER, 4 bytes)",
         [](const Peer& peer) { return querySent(peer, "/notfound/", statusNumber, 4); }},
        {"query.status-number-too-small", "ok", "HttpQueryInfoA(STATUS_CODE | FLAG_NUMBER, 2 bytes)",
         [](const Peer& peer) { return querySent(peer, "/ok/", statusNumber, 2); }},
        {"query.status-as-text", "ok", "HttpQueryInfoA(STATUS_CODE, 16 bytes)",
         [](const Peer& peer) { return querySent(peer, "/ok/", HTTP_QUERY_STATUS_CODE, 16); }},
        {"query.status-text", "reason", "HttpQueryInfoA(STATUS_TEXT, 64 bytes) of \"299 Fine By Me\"",
         [](const Peer& peer) { return querySent(peer, "/reason/", HTTP_QUERY_STATUS_TEXT, 64); }},
        {"query.raw-crlf", "ok", "HttpQueryInfoA(RAW_HEADERS_CRLF, 8192 bytes)",
         [](const Peer& peer) { return querySent(peer, "/ok/", HTTP_QUERY_RAW_HEADERS_CRLF, 8192); }},
        {"query.raw-crlf-too-small", "ok", "HttpQueryInfoA(RAW_HEADERS_CRLF, 8 bytes): the size needed",
         [](const Peer& peer) { return querySent(peer, "/ok/", HTTP_QUERY_RAW_HEADERS_CRLF, 8); }},
        {"query.raw-crlf-exact-size", "ok",
         "HttpQueryInfoA(RAW_HEADERS_CRLF) with a buffer of the length answered by a first, too small query",
         [](const Peer& peer) {
             Client client(peer, "GET", "/ok/");
             send(client.request);
             char probe[1];
             DWORD needed = sizeof probe;
             const std::string first = outcome(HttpQueryInfoA(client.request, HTTP_QUERY_RAW_HEADERS_CRLF, probe,
                                                              &needed, nullptr));
             return first + " needed=" + number(needed) + " then "
                 + query(client.request, HTTP_QUERY_RAW_HEADERS_CRLF, needed);
         }},
        {"query.raw-crlf-no-buffer", "ok", "HttpQueryInfoA(RAW_HEADERS_CRLF, null, length 0)",
         [](const Peer& peer) { return querySent(peer, "/ok/", HTTP_QUERY_RAW_HEADERS_CRLF, 0); }},
        {"query.raw-nul-separated", "ok", "HttpQueryInfoA(RAW_HEADERS, 8192 bytes)",
         [](const Peer& peer) { return querySent(peer, "/ok/", HTTP_QUERY_RAW_HEADERS, 8192); }},
        {"query.raw-crlf-bare-lf", "lf", "HttpQueryInfoA(RAW_HEADERS_CRLF, 8192) of a head with bare LF line ends",
         [](const Peer& peer) { return querySent(peer, "/lf/", HTTP_QUERY_RAW_HEADERS_CRLF, 8192); }},
        {"query.raw-crlf-http10", "http10", "HttpQueryInfoA(RAW_HEADERS_CRLF, 8192) of an HTTP/1.0 answer",
         [](const Peer& peer) { return querySent(peer, "/http10/", HTTP_QUERY_RAW_HEADERS_CRLF, 8192); }},
        {"query.raw-crlf-repeated", "repeated", "HttpQueryInfoA(RAW_HEADERS_CRLF, 8192) with X-Dup twice",
         [](const Peer& peer) { return querySent(peer, "/repeated/", HTTP_QUERY_RAW_HEADERS_CRLF, 8192); }},
        {"query.raw-crlf-after-redirect", "redirect", "HttpQueryInfoA(RAW_HEADERS_CRLF, 8192) after a followed 302",
         [](const Peer& peer) { return querySent(peer, "/redirect/", HTTP_QUERY_RAW_HEADERS_CRLF, 8192); }},
        {"query.raw-crlf-after-continue", "continue", "HttpQueryInfoA(RAW_HEADERS_CRLF, 8192) after 100 Continue",
         [](const Peer& peer) { return querySent(peer, "/continue/", HTTP_QUERY_RAW_HEADERS_CRLF, 8192); }},
        {"query.content-length-number", "ok", "HttpQueryInfoA(CONTENT_LENGTH | FLAG_NUMBER, 4 bytes)",
         [](const Peer& peer) { return querySent(peer, "/ok/", lengthNumber, 4); }},
        {"query.content-length-text", "ok", "HttpQueryInfoA(CONTENT_LENGTH, 16 bytes)",
         [](const Peer& peer) { return querySent(peer, "/ok/", HTTP_QUERY_CONTENT_LENGTH, 16); }},
        {"query.content-length-spaces", "lengthspaces",
         "HttpQueryInfoA(CONTENT_LENGTH | FLAG_NUMBER, 4) and (CONTENT_LENGTH, 16) of \"Content-Length:   5  \"",
         [](const Peer& peer) {
             Client client(peer, "GET", "/lengthspaces/");
             send(client.request);
             const std::string asNumber = query(client.request, lengthNumber, 4);
             return asNumber + " / " + query(client.request, HTTP_QUERY_CONTENT_LENGTH, 16);
         }},
        {"query.content-length-missing", "chunked", "HttpQueryInfoA(CONTENT_LENGTH | FLAG_NUMBER, 4) of a chunked answer",
         [](const Peer& peer) { return querySent(peer, "/chunked/", lengthNumber, 4); }},
        {"query.content-length-too-small", "ok", "HttpQueryInfoA(CONTENT_LENGTH | FLAG_NUMBER, 2 bytes)",
         [](const Peer& peer) { return querySent(peer, "/ok/", lengthNumber, 2); }},
        {"query.content-type", "ok", "HttpQueryInfoA(CONTENT_TYPE (1), 64) of an answer without one",
         [](const Peer& peer) { return querySent(peer, "/ok/", 1, 64); }},
        {"query.index", "ok", "HttpQueryInfoA(CONTENT_LENGTH, 16, index 0), then with the index it answered",
         [](const Peer& peer) {
             Client client(peer, "GET", "/ok/");
             send(client.request);
             DWORD index = 0;
             const std::string first = query(client.request, HTTP_QUERY_CONTENT_LENGTH, 16, &index);
             const DWORD after = index;
             return first + " index=" + number(after) + " then "
                 + query(client.request, HTTP_QUERY_CONTENT_LENGTH, 16, &index);
         }},
        {"query.unknown-level", "ok", "HttpQueryInfoA(level 9999, 64 bytes)",
         [](const Peer& peer) { return querySent(peer, "/ok/", 9999, 64); }},
        {"query.before-send", "-", "HttpQueryInfoA(STATUS_CODE | FLAG_NUMBER, 4) on a request not sent",
         [](const Peer& peer) {
             Client client(peer, "GET", "/ok/");
             return query(client.request, statusNumber, 4);
         }},
        {"query.after-failed-send", "-", "HttpQueryInfoA(STATUS_CODE | FLAG_NUMBER, 4) after a refused send",
         [](const Peer& peer) {
             Peer refused = peer;
             refused.port = peer.refusedPort;
             Client client(refused, "GET", "/ok/");
             send(client.request);
             return query(client.request, statusNumber, 4);
         }},
        {"query.on-connection", "-", "HttpQueryInfoA(connection, STATUS_CODE | FLAG_NUMBER, 4)",
         [](const Peer& peer) {
             Client client(peer, "GET", "/ok/");
             return query(client.connection, statusNumber, 4);
         }},
        {"read.small", "ok", "InternetReadFile(16384) until 0", [](const Peer& peer) { return readSent(peer, "/ok/", 16384); }},
        {"read.big", "big", "InternetReadFile(16384) until 0 of 40000 bytes: the counts",
         [](const Peer& peer) {
             Client client(peer, "GET", "/big/");
             send(client.request);
             std::string body;
             const std::string reads = readAll(client.request, 16384, &body);
             return reads.substr(0, reads.find(" body=")) + " size=" + number(body.size())
                 + (body.size() == 40000 ? " first=" + escape(body.substr(0, 8)) : "");
         }},
        {"read.big-odd-pieces", "big", "InternetReadFile(9999) until 0 of 40000 bytes: the counts",
         [](const Peer& peer) {
             const std::string reads = readSent(peer, "/big/", 9999);
             return reads.substr(0, reads.find(" body="));
         }},
        {"read.byte-by-byte", "ok", "InternetReadFile(1) until 0",
         [](const Peer& peer) { return readSent(peer, "/ok/", 1); }},
        {"read.slow-body", "slow", "InternetReadFile(16384) until 0; the body's second half comes 100 ms later",
         [](const Peer& peer) { return readSent(peer, "/slow/", 16384); }},
        {"read.split-head", "split", "InternetReadFile(16384) until 0; the head came in pieces",
         [](const Peer& peer) { return readSent(peer, "/split/", 16384); }},
        {"read.chunked", "chunked", "InternetReadFile(16384) until 0 of a chunked body",
         [](const Peer& peer) { return readSent(peer, "/chunked/", 16384); }},
        {"read.until-close", "untilclose", "InternetReadFile(16384) until 0 of a body ended by the close",
         [](const Peer& peer) { return readSent(peer, "/untilclose/", 16384); }},
        {"read.cut-short", "cut", "InternetReadFile(16384) until 0 or failure; 5 of 10 bytes, then the close",
         [](const Peer& peer) { return readSent(peer, "/cut/", 16384); }},
        {"read.error-status-body", "notfound", "InternetReadFile(16384) until 0 of a 404",
         [](const Peer& peer) { return readSent(peer, "/notfound/", 16384); }},
        {"read.challenge-body", "challenge", "InternetReadFile(16384) until 0 of an unanswered 401",
         [](const Peer& peer) { return readSent(peer, "/challenge/", 16384); }},
        {"read.bare-lf-head", "lf", "InternetReadFile(16384) until 0 after a head with bare LF line ends",
         [](const Peer& peer) { return readSent(peer, "/lf/", 16384); }},
        {"read.gzip", "gzip", "InternetReadFile(16384) until 0 of a gzip-encoded body",
         [](const Peer& peer) { return readSent(peer, "/gzip/", 16384); }},
        {"read.head-request", "head", "HEAD, then InternetReadFile(16384) until 0",
         [](const Peer& peer) { return readSent(peer, "/head/", 16384, "HEAD"); }},
        {"read.no-content", "nocontent", "InternetReadFile(16384) until 0 of a 204",
         [](const Peer& peer) { return readSent(peer, "/nocontent/", 16384); }},
        {"read.empty", "empty", "InternetReadFile(16384) until 0 of Content-Length 0",
         [](const Peer& peer) { return readSent(peer, "/empty/", 16384); }},
        {"read.after-end", "ok", "InternetReadFile(16384) until 0, then twice more",
         [](const Peer& peer) {
             Client client(peer, "GET", "/ok/");
             send(client.request);
             readAll(client.request);
             char buffer[16];
             std::string more;
             for (int i = 0; i < 2; ++i) {
                 DWORD count = 99;
                 const std::string read = outcome(InternetReadFile(client.request, buffer, sizeof buffer, &count));
                 more += read + "/" + number(count) + " ";
             }
             return more;
         }},
        {"read.zero-bytes", "ok", "InternetReadFile(buffer, 0) before the body, then InternetReadFile(16384) until 0",
         [](const Peer& peer) {
             Client client(peer, "GET", "/ok/");
             send(client.request);
             char buffer[1];
             DWORD count = 99;
             const std::string zero = outcome(InternetReadFile(client.request, buffer, 0, &count));
             const std::string counted = zero + "/" + number(count);
             return counted + " " + readAll(client.request);
         }},
        {"read.before-send", "-", "InternetReadFile(16384) on a request not sent",
         [](const Peer& peer) {
             Client client(peer, "GET", "/ok/");
             char buffer[16];
             DWORD count = 99;
             const std::string read = outcome(InternetReadFile(client.request, buffer, sizeof buffer, &count));
             return read + " count=" + number(count);
         }},
        {"read.on-connection", "-", "InternetReadFile(connection, 16)",
         [](const Peer& peer) {
             Client client(peer, "GET", "/ok/");
             char buffer[16];
             DWORD count = 99;
             const std::string read = outcome(InternetReadFile(client.connection, buffer, sizeof buffer, &count));
             return read + " count=" + number(count);
         }},
        {"lastresponse.after-request", "ok", "a request, then InternetGetLastResponseInfoA(&error, 4097 bytes, &length)",
         [](const Peer& peer) {
             Client client(peer, "GET", "/ok/");
             send(client.request);
             bodyOf(client.request);
             DWORD error = 99;
             char text[4097] = "unchanged";
             DWORD length = sizeof text;
             const std::string result = outcome(InternetGetLastResponseInfoA(&error, text, &length));
             return result + " error=" + number(error) + " length=" + number(length) + " text=\""
                 + escape(std::string(text, std::min<DWORD>(length, 32))) + "\"";
         }},
        {"lastresponse.no-buffer", "-", "InternetGetLastResponseInfoA(&error, null, &0)",
         [](const Peer&) {
             DWORD error = 99;
             DWORD length = 0;
             const std::string result = outcome(InternetGetLastResponseInfoA(&error, nullptr, &length));
             return result + " error=" + number(error) + " length=" + number(length);
         }},
    };
}

} // namespace contract
