#include "contract.h"

#include <chrono>
#include <initializer_list>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace contract {

std::string number(unsigned long long value)
{
    return std::to_string(value);
}

std::string outcome(BOOL ok)
{
    const DWORD error = GetLastError();
    return ok ? std::string("TRUE") : "FALSE/" + number(error);
}

std::string handleOutcome(HINTERNET handle)
{
    const DWORD error = GetLastError();
    return handle != nullptr ? std::string("handle") : "null/" + number(error);
}

std::string escape(std::string_view bytes)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\r':
            text += "\\r";
            break;
        case '\n':
            text += "\\n";
            break;
        case '\t':
            text += "\\t";
            break;
        case '\\':
            text += "\\\\";
            break;
        case '"':
            text += "\\\"";
            break;
        default:
            if (byte < 0x20 || byte >= 0x7F) {
                text += "\\x";
                text += hex[byte >> 4];
                text += hex[byte & 0xF];
            } else {
                text += c;
            }
        }
    }
    return text;
}

std::string withoutPort(std::string text, const Peer& peer)
{
    for (const int number : {peer.port, peer.closingPort}) {
        const std::string port = ":" + std::to_string(number);
        for (std::size_t at = text.find(port); at != std::string::npos; at = text.find(port, at)) {
            const std::size_t end = at + port.size();
            if (end < text.size() && text[end] >= '0' && text[end] <= '9') {
                at = end;
                continue;
            }
            text.replace(at, port.size(), ":PORT");
        }
    }
    return text;
}

BOOL Handle::close()
{
    if (m_handle == nullptr)
        return TRUE;
    HINTERNET handle = m_handle;
    m_handle = nullptr;
    return InternetCloseHandle(handle);
}

Client::Client(const Peer& peer, const char* verb, const std::string& path, DWORD requestFlags, DWORD openFlags,
               DWORD_PTR context, INTERNET_STATUS_CALLBACK callback)
{
    internet = InternetOpenA("contract", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, openFlags);
    if (internet.get() == nullptr) {
        failure = "open " + handleOutcome(nullptr);
        return;
    }
    if (callback != nullptr)
        InternetSetStatusCallback(internet, callback);
    connection = InternetConnectA(internet, "127.0.0.1", static_cast<INTERNET_PORT>(peer.port), nullptr, nullptr,
                                  INTERNET_SERVICE_HTTP, 0, 0);
    if (connection.get() == nullptr) {
        failure = "connect " + handleOutcome(nullptr);
        return;
    }
    request = HttpOpenRequestA(connection, verb, path.c_str(), nullptr, nullptr, nullptr, requestFlags, context);
    if (request.get() == nullptr)
        failure = "open request " + handleOutcome(nullptr);
}

std::string send(HINTERNET request)
{
    return outcome(HttpSendRequestA(request, nullptr, 0, nullptr, 0));
}

std::string status(HINTERNET request)
{
    DWORD code = 0;
    DWORD length = sizeof code;
    const BOOL ok = HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &length, nullptr);
    return ok ? number(code) : outcome(FALSE);
}

std::string readAll(HINTERNET request, DWORD piece, std::string* whole)
{
    std::string body;
    std::string counts;
    std::string failure;
    std::vector<char> buffer(piece > 0 ? piece : 1);
    for (int i = 0; i < 200; ++i) {
        DWORD count = 0;
        const BOOL ok = InternetReadFile(request, buffer.data(), piece, &count);
        if (!ok) {
            failure = ", then " + outcome(FALSE);
            break;
        }
        counts += (counts.empty() ? "" : ",") + number(count);
        body.append(buffer.data(), count);
        if (count == 0)
            break;
    }
    if (whole != nullptr)
        *whole = body;
    return "reads=" + counts + " body=\"" + escape(body) + "\"" + failure;
}

std::string bodyOf(HINTERNET request)
{
    std::string body;
    readAll(request, 16384, &body);
    return body;
}

std::string requestLine(const std::string& echoed)
{
    return escape(echoed.substr(0, echoed.find("\r\n")));
}

std::string headerLines(const std::string& echoed, std::string_view name)
{
    std::string lines;
    const std::size_t headEnd = echoed.find("\r\n\r\n");
    std::size_t position = echoed.find("\r\n");
    while (position != std::string::npos && position < headEnd) {
        const std::size_t begin = position + 2;
        const std::size_t end = echoed.find("\r\n", begin);
        const std::string line = echoed.substr(begin, end - begin);
        if (line.size() > name.size() && line[name.size()] == ':') {
            bool same = true;
            for (std::size_t i = 0; i < name.size(); ++i)
                same = same && std::tolower(static_cast<unsigned char>(line[i])) ==
                                   std::tolower(static_cast<unsigned char>(name[i]));
            if (same)
                lines += (lines.empty() ? "" : "|") + escape(line);
        }
        position = end;
    }
    return lines.empty() ? "(none)" : lines;
}

std::string requestBody(const std::string& echoed)
{
    const std::size_t headEnd = echoed.find("\r\n\r\n");
    return headEnd == std::string::npos ? "(no head)" : "\"" + escape(echoed.substr(headEnd + 4)) + "\"";
}

// ---- notifications ----

namespace {

struct Seen {
    DWORD role;
    DWORD status;
    std::string information;
    bool callerThread;
};

struct RecorderState {
    std::mutex mutex;
    std::condition_variable changed;
    int row = 0;
    std::thread::id caller;
    std::vector<Seen> seen;
    std::string completion;
};

RecorderState& state()
{
    static RecorderState recorder;
    return recorder;
}

std::string text(LPVOID information, DWORD length)
{
    if (information == nullptr)
        return "null";
    const char* characters = static_cast<const char*>(information);
    return "\"" + escape(std::string(characters, strnlen(characters, length))) + "\"(" + number(length) + ")";
}

std::string describe(HINTERNET handle, DWORD status, LPVOID information, DWORD length)
{
    if (information == nullptr || length == 0)
        return length == 0 && information == nullptr ? "" : "(" + number(length) + ")";
    switch (status) {
    case INTERNET_STATUS_RESOLVING_NAME:
    case INTERNET_STATUS_NAME_RESOLVED:
    case INTERNET_STATUS_CONNECTING_TO_SERVER:
    case INTERNET_STATUS_CONNECTED_TO_SERVER:
    case INTERNET_STATUS_REDIRECT:
        return text(information, length);
    case INTERNET_STATUS_REQUEST_SENT:
    case INTERNET_STATUS_RESPONSE_RECEIVED:
    case INTERNET_STATUS_INTERMEDIATE_RESPONSE:
        if (length >= sizeof(DWORD)) {
            DWORD value = 0;
            std::memcpy(&value, information, sizeof value);
            return number(value);
        }
        break;
    case INTERNET_STATUS_HANDLE_CLOSING:
        if (length >= sizeof(HINTERNET)) {
            HINTERNET closing = nullptr;
            std::memcpy(&closing, information, sizeof closing);
            return closing == handle ? "self" : "other";
        }
        break;
    case INTERNET_STATUS_HANDLE_CREATED:
    case INTERNET_STATUS_REQUEST_COMPLETE:
        if (length >= sizeof(INTERNET_ASYNC_RESULT)) {
            INTERNET_ASYNC_RESULT result{};
            std::memcpy(&result, information, sizeof result);
            const std::string value = result.dwResult <= 1 ? number(result.dwResult) : "handle";
            return "{" + value + "," + number(result.dwError) + "}";
        }
        break;
    default:
        break;
    }
    return "(" + number(length) + ")";
}

} // namespace

void Recorder::start(int row)
{
    RecorderState& recorder = state();
    std::lock_guard lock(recorder.mutex);
    recorder.row = row;
    recorder.caller = std::this_thread::get_id();
    recorder.seen.clear();
    recorder.completion.clear();
}

void Recorder::clear()
{
    RecorderState& recorder = state();
    std::lock_guard lock(recorder.mutex);
    recorder.seen.clear();
    recorder.completion.clear();
}

DWORD_PTR Recorder::context(DWORD role)
{
    RecorderState& recorder = state();
    std::lock_guard lock(recorder.mutex);
    return static_cast<DWORD_PTR>(recorder.row) << 8 | role;
}

void Recorder::callback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID information, DWORD length)
{
    RecorderState& recorder = state();
    const std::string detail = describe(handle, status, information, length);
    {
        std::lock_guard lock(recorder.mutex);
        if (static_cast<int>(context >> 8) != recorder.row)
            return;
        recorder.seen.push_back({static_cast<DWORD>(context & 0xFF), status, detail,
                                 std::this_thread::get_id() == recorder.caller});
        if (status == INTERNET_STATUS_REQUEST_COMPLETE)
            recorder.completion = detail;
    }
    recorder.changed.notify_all();
}

std::string Recorder::seen(Detail detail, DWORD until)
{
    RecorderState& recorder = state();
    std::lock_guard lock(recorder.mutex);
    std::string list;
    for (const Seen& one : recorder.seen) {
        std::string item = number(one.status);
        switch (detail) {
        case Detail::Codes:
            break;
        case Detail::Information:
            if (!one.information.empty())
                item += "=" + one.information;
            break;
        case Detail::Contexts:
            item = "c" + number(one.role) + ":" + item;
            break;
        case Detail::Threads:
            item += one.callerThread ? "@caller" : "@other";
            break;
        }
        list += (list.empty() ? "" : ",") + item;
        if (until != 0 && one.status == until)
            break;
    }
    return list.empty() ? "(none)" : list;
}

bool Recorder::waitFor(DWORD status, int count, int milliseconds)
{
    RecorderState& recorder = state();
    std::unique_lock lock(recorder.mutex);
    return recorder.changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] {
        int seen = 0;
        for (const Seen& one : recorder.seen)
            seen += one.status == status ? 1 : 0;
        return seen >= count;
    });
}

std::string Recorder::lastCompletion()
{
    RecorderState& recorder = state();
    std::lock_guard lock(recorder.mutex);
    return recorder.completion.empty() ? "(none)" : recorder.completion;
}

} // namespace contract
