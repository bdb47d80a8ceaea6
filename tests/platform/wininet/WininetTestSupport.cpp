#include "WininetTestSupport.h"

#include <cstring>

namespace dorvane::test {

void NotificationRecorder::onStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information, DWORD length)
{
    auto* recorder = reinterpret_cast<NotificationRecorder*>(context);
    Notification notification;
    notification.status = status;
    notification.thread = std::this_thread::get_id();
    switch (status) {
    case INTERNET_STATUS_RESOLVING_NAME:
    case INTERNET_STATUS_NAME_RESOLVED:
    case INTERNET_STATUS_CONNECTING_TO_SERVER:
    case INTERNET_STATUS_CONNECTED_TO_SERVER:
    case INTERNET_STATUS_REDIRECT:
        if (information != nullptr)
            notification.text.assign(static_cast<const char*>(information), strnlen(static_cast<const char*>(information), length));
        break;
    case INTERNET_STATUS_REQUEST_SENT:
    case INTERNET_STATUS_RESPONSE_RECEIVED:
    case INTERNET_STATUS_INTERMEDIATE_RESPONSE:
        if (information != nullptr && length >= sizeof(DWORD))
            std::memcpy(&notification.number, information, sizeof(DWORD));
        break;
    case INTERNET_STATUS_REQUEST_COMPLETE:
        if (information != nullptr && length >= sizeof(INTERNET_ASYNC_RESULT)) {
            const auto* result = static_cast<const INTERNET_ASYNC_RESULT*>(information);
            notification.result = static_cast<DWORD>(result->dwResult);
            notification.error = result->dwError;
        }
        break;
    default:
        break;
    }
    recorder->add(std::move(notification));
}

std::vector<DWORD> NotificationRecorder::codes() const
{
    std::vector<DWORD> codes;
    for (const auto& notification : all())
        codes.push_back(notification.status);
    return codes;
}

bool NotificationRecorder::waitFor(DWORD status, int count, int milliseconds) const
{
    return EventLog::waitFor([status](const Notification& n) { return n.status == status; },
                             static_cast<std::size_t>(count), milliseconds);
}

RequestHandles openRequest(int port, const char* verb, const char* path, DWORD requestFlags, DWORD openFlags,
                           NotificationRecorder* recorder, const char* host)
{
    RequestHandles handles;
    handles.internet = InternetOpenA("Test Agent", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, openFlags);
    if (recorder != nullptr)
        InternetSetStatusCallback(handles.internet, NotificationRecorder::callback);
    handles.connection = InternetConnectA(handles.internet, host, static_cast<INTERNET_PORT>(port), nullptr,
                                          nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    handles.request = HttpOpenRequestA(handles.connection, verb, path, nullptr, nullptr, nullptr, requestFlags,
                                       recorder != nullptr ? recorder->context() : 0);
    return handles;
}

bool readBody(HINTERNET request, std::string& body, DWORD pieceSize, std::vector<DWORD>* pieces)
{
    std::vector<char> buffer(pieceSize);
    for (;;) {
        DWORD count = 0;
        if (!InternetReadFile(request, buffer.data(), pieceSize, &count))
            return false;
        if (count == 0)
            return true;
        if (pieces != nullptr)
            pieces->push_back(count);
        body.append(buffer.data(), count);
    }
}

DWORD statusCode(HINTERNET request)
{
    DWORD status = 0;
    DWORD length = sizeof status;
    if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length, nullptr))
        return 0;
    return status;
}

std::string rawHeaders(HINTERNET request)
{
    DWORD length = 0;
    if (HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS_CRLF, nullptr, &length, nullptr)
        || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return {};
    std::string headers(length, '\0');
    if (!HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS_CRLF, headers.data(), &length, nullptr))
        return {};
    headers.resize(length);
    return headers;
}

} // namespace dorvane::test
