#include "wininet_transfer.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string_view>
#include <utility>

#include "wininet_errors.h"
#include "wininet_session.h"

namespace wininet {

namespace {

// The body is read ahead into a buffer of at most this size; past it the transfer is paused
// until the reader has taken it down to the low mark, so memory stays bounded.
constexpr std::size_t bodyBufferLimit = 1 << 20;
constexpr std::size_t bodyBufferLowMark = 256 << 10;
// The response head a server may send, all header lines together.
constexpr std::size_t headerBlockLimit = 256 << 10;

std::string_view trimLineEnd(std::string_view line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    return line;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

long statusOf(std::string_view statusLine)
{
    const std::size_t space = statusLine.find(' ');
    if (space == std::string_view::npos)
        return 0;
    return std::strtol(std::string(statusLine.substr(space + 1, 3)).c_str(), nullptr, 10);
}

std::string resolveReference(const std::string& base, const std::string& reference)
{
    CURLU* url = curl_url();
    std::string resolved;
    char* text = nullptr;
    if (curl_url_set(url, CURLUPART_URL, base.c_str(), 0) == CURLUE_OK
        && curl_url_set(url, CURLUPART_URL, reference.c_str(), CURLU_URLENCODE) == CURLUE_OK
        && curl_url_get(url, CURLUPART_URL, &text, 0) == CURLUE_OK)
        resolved = text;
    curl_free(text);
    curl_url_cleanup(url);
    return resolved.empty() ? reference : resolved;
}

std::string hostOf(const std::string& address)
{
    CURLU* url = curl_url();
    std::string host;
    char* text = nullptr;
    if (curl_url_set(url, CURLUPART_URL, address.c_str(), 0) == CURLUE_OK
        && curl_url_get(url, CURLUPART_HOST, &text, 0) == CURLUE_OK)
        host = text;
    curl_free(text);
    curl_url_cleanup(url);
    return host;
}

} // namespace

Transfer::Transfer(std::shared_ptr<SessionShared> shared, std::shared_ptr<Driver> driver, DWORD_PTR context)
    : m_shared(std::move(shared))
    , m_driver(std::move(driver))
    , m_context(context)
{
}

Transfer::~Transfer()
{
    releaseEasy();
}

// ---- caller's side ----

DWORD Transfer::send(TransferSetup setup)
{
    std::unique_lock lock(m_mutex);
    if (m_cancelled)
        return ERROR_INTERNET_OPERATION_CANCELLED;
    ++m_generation;
    m_phase = Phase::Sending;
    m_responseReady = false;
    m_error = 0;
    m_statusCode = 0;
    m_finalHeaders.clear();
    m_body.clear();
    m_bodyRead = 0;
    m_paused = false;
    m_resumePosted = false;
    m_pendingRead = {};
    m_sendPending = m_shared->async;
    lock.unlock();
    m_driver->post([self = shared_from_this(), driver = m_driver, setup = std::move(setup)] {
        driver->startTransfer(self, setup);
    });
    if (m_shared->async)
        return ERROR_IO_PENDING;
    lock.lock();
    return waitForResponse(lock);
}

bool Transfer::driveRound(std::unique_lock<std::mutex>& lock, bool& first)
{
    lock.unlock();
    const bool running = m_driver->drive(!first);
    first = false;
    lock.lock();
    return running;
}

DWORD Transfer::waitForResponse(std::unique_lock<std::mutex>& lock)
{
    bool first = true;
    for (;;) {
        drainEvents(lock);
        if (m_cancelled)
            return ERROR_INTERNET_OPERATION_CANCELLED;
        // A body that fails after the head came in is reported by the reads.
        if (m_responseReady)
            return 0;
        switch (m_phase) {
        case Phase::Receiving:
        case Phase::Complete:
            return 0;
        case Phase::Failed:
            return m_error;
        case Phase::Idle:
            return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
        case Phase::Sending:
            break;
        }
        if (!driveRound(lock, first))
            return ERROR_INTERNET_OPERATION_CANCELLED;
    }
}

DWORD Transfer::read(char* buffer, DWORD size, DWORD* count)
{
    std::unique_lock lock(m_mutex);
    *count = 0;
    if (m_cancelled)
        return ERROR_INTERNET_OPERATION_CANCELLED;
    if (m_phase == Phase::Idle || m_phase == Phase::Sending)
        return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    if (m_shared->async)
        return readAsynchronously(lock, buffer, size, count);
    return readSynchronously(lock, buffer, size, count);
}

DWORD Transfer::readSynchronously(std::unique_lock<std::mutex>& lock, char* buffer, DWORD size, DWORD* count)
{
    bool first = true;
    for (;;) {
        drainEvents(lock);
        if (m_cancelled)
            return ERROR_INTERNET_OPERATION_CANCELLED;
        *count += take(buffer + *count, size - *count);
        if (*count == size || m_phase == Phase::Complete)
            break;
        if (m_phase == Phase::Failed) {
            // Hand over what arrived before the failure; the next read reports it.
            if (*count > 0)
                break;
            return m_error;
        }
        if (!driveRound(lock, first))
            return ERROR_INTERNET_OPERATION_CANCELLED;
    }
    queueRead(*count);
    drainEvents(lock);
    return 0;
}

DWORD Transfer::readAsynchronously(std::unique_lock<std::mutex>&, char* buffer, DWORD size, DWORD* count)
{
    *count = take(buffer, size);
    queueRead(*count);
    if (*count > 0 || m_phase == Phase::Complete)
        return 0;
    if (m_phase == Phase::Failed)
        return m_error;
    if (m_pendingRead.count != nullptr)
        return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    m_pendingRead = {buffer, size, count};
    return ERROR_IO_PENDING;
}

bool Transfer::response(long& statusCode, std::string& headers) const
{
    std::lock_guard lock(m_mutex);
    if (!m_responseReady)
        return false;
    statusCode = m_statusCode;
    headers = m_finalHeaders;
    return true;
}

bool Transfer::cancel()
{
    bool closingOwed = false;
    {
        std::lock_guard lock(m_mutex);
        m_cancelled = true;
        m_pendingRead = {};
        m_events.clear();
        closingOwed = m_deliveryDepth > 0 && m_deliveringThread != std::this_thread::get_id();
        m_closingOwed = closingOwed;
    }
    m_driver->post([self = shared_from_this(), driver = m_driver] { driver->releaseTransfer(self); });
    return closingOwed;
}

bool Transfer::cancelled() const
{
    std::lock_guard lock(m_mutex);
    return m_cancelled;
}

DWORD Transfer::take(char* buffer, DWORD size)
{
    const std::size_t count = std::min<std::size_t>(buffered(), size);
    if (count > 0)
        std::memcpy(buffer, m_body.data() + m_bodyRead, count);
    m_bodyRead += count;
    if (m_bodyRead == m_body.size()) {
        m_body.clear();
        m_bodyRead = 0;
    } else if (m_bodyRead >= bodyBufferLowMark) {
        m_body.erase(m_body.begin(), m_body.begin() + static_cast<std::ptrdiff_t>(m_bodyRead));
        m_bodyRead = 0;
    }
    if (m_paused && !m_resumePosted && buffered() <= bodyBufferLowMark) {
        m_resumePosted = true;
        m_driver->post([self = shared_from_this(), driver = m_driver] { driver->resumeTransfer(self); });
    }
    return static_cast<DWORD>(count);
}

void Transfer::drainEvents(std::unique_lock<std::mutex>& lock)
{
    const auto self = std::this_thread::get_id();
    if (m_deliveryDepth > 0 && m_deliveringThread != self)
        return;
    m_deliveringThread = self;
    ++m_deliveryDepth;
    while (!m_events.empty() && !m_cancelled) {
        const Event event = std::move(m_events.front());
        m_events.pop_front();
        lock.unlock();
        const void* information = event.information.empty() ? nullptr : event.information.data();
        notifyStatus(*m_shared, m_handle, m_context, event.status, information,
                     static_cast<DWORD>(event.information.size()));
        lock.lock();
    }
    if (--m_deliveryDepth > 0)
        return;
    m_deliveringThread = {};
    if (std::exchange(m_closingOwed, false)) {
        lock.unlock();
        notifyClosing();
        lock.lock();
    }
}

void Transfer::notifyClosing()
{
    HINTERNET closing = m_handle;
    notifyStatus(*m_shared, m_handle, m_context, INTERNET_STATUS_HANDLE_CLOSING, &closing, sizeof closing);
}

// ---- layer thread's side ----

void Transfer::releaseEasy()
{
    if (m_easy != nullptr) {
        forgetCookieFiles(m_easy);
        curl_easy_cleanup(m_easy);
    }
    m_easy = nullptr;
    curl_slist_free_all(static_cast<curl_slist*>(m_headerList));
    m_headerList = nullptr;
}

void Transfer::start(const TransferSetup& setup, void* share)
{
    {
        std::lock_guard lock(m_mutex);
        m_activeGeneration = m_generation;
    }
    m_currentHost = setup.hostName;
    m_currentUrl = setup.url;
    m_followRedirects = (setup.flags & INTERNET_FLAG_NO_AUTO_REDIRECT) == 0;
    m_connecting = m_nameNotified = m_resolvedNotified = m_connectingNotified = false;
    m_sentNotified = m_followedRedirect = m_badHead = m_headComplete = false;
    m_contentLength.clear();
    m_bytesSent = m_blockBytes = 0;
    m_connectingSockets.clear();
    m_awaitingServer = false;
    m_lastActivity = std::chrono::steady_clock::now();
    m_blockStatus = 0;
    m_block.clear();
    m_location.clear();
    m_redirects = 0;
    configure(setup, share);
}

void Transfer::finish(int curlCode)
{
    std::lock_guard lock(m_mutex);
    if (!current())
        return;
    // libcurl takes a connection that ends inside a response head for a whole response, with
    // no status or headers yet: that is a connection ended abnormally.
    if (curlCode == CURLE_OK && m_phase == Phase::Sending && !m_headComplete)
        curlCode = CURLE_PARTIAL_FILE;
    if (curlCode == CURLE_OK) {
        if (m_phase == Phase::Sending)
            markFinal();
        m_phase = Phase::Complete;
    } else {
        m_phase = Phase::Failed;
        m_error = failureCode(curlCode);
        if (m_sendPending) {
            m_sendPending = false;
            queueCompletion(false, m_error);
        }
    }
    servePendingRead();
}

DWORD Transfer::failureCode(int curlCode)
{
    // libcurl refuses a header line past its own limit as "out of memory", and a folded line
    // with no header before it as a "bad argument": what happened is that the server's
    // response head was too large or malformed.
    const bool refusedHead = !m_responseReady
        && (curlCode == CURLE_OUT_OF_MEMORY || curlCode == CURLE_BAD_FUNCTION_ARGUMENT);
    if (m_badHead || refusedHead)
        return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    long osError = 0;
    long verifyResult = 0;
    curl_easy_getinfo(m_easy, CURLINFO_OS_ERRNO, &osError);
    curl_easy_getinfo(m_easy, CURLINFO_SSL_VERIFYRESULT, &verifyResult);
    return errorFromTransfer(curlCode, osError, verifyResult, m_followedRedirect);
}

void Transfer::resume()
{
    {
        std::lock_guard lock(m_mutex);
        m_resumePosted = false;
        if (!current() || !m_paused)
            return;
        m_paused = false;
    }
    curl_easy_pause(m_easy, CURLPAUSE_CONT);
}

void Transfer::deliverEvents()
{
    std::unique_lock lock(m_mutex);
    m_eventsScheduled = false;
    drainEvents(lock);
}

void Transfer::socketClosed()
{
    std::lock_guard lock(m_mutex);
    if (m_cancelled)
        return;
    queueEvent(INTERNET_STATUS_CLOSING_CONNECTION, nullptr, 0);
    queueEvent(INTERNET_STATUS_CONNECTION_CLOSED, nullptr, 0);
}

std::size_t Transfer::onWrite(const char* data, std::size_t size)
{
    m_lastActivity = std::chrono::steady_clock::now();
    std::lock_guard lock(m_mutex);
    if (!current())
        return 0;
    if (buffered() > 0 && buffered() + size > bodyBufferLimit) {
        m_paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (m_phase == Phase::Sending)
        markFinal();
    // The body is reported by the reads that hand it over, not as it arrives.
    m_body.insert(m_body.end(), data, data + size);
    servePendingRead();
    return size;
}

std::size_t Transfer::onHeader(const char* data, std::size_t size)
{
    m_lastActivity = std::chrono::steady_clock::now();
    std::lock_guard lock(m_mutex);
    if (!current())
        return 0;
    const std::string_view line = trimLineEnd(std::string_view(data, size));
    m_blockBytes += size;
    if (line.substr(0, 5) == "HTTP/") {
        if (!m_sentNotified) {
            queueNumber(INTERNET_STATUS_REQUEST_SENT, static_cast<DWORD>(m_bytesSent));
            m_sentNotified = true;
        }
        m_blockBytes = size;
        m_blockStatus = statusOf(line);
        m_headComplete = false;
        m_contentLength.clear();
        // An interim answer (1xx) is reported whole at its end; a response head is received.
        if (m_blockStatus / 100 != 1)
            queueEvent(INTERNET_STATUS_RECEIVING_RESPONSE, nullptr, 0);
        m_block.assign(line);
        m_block += "\r\n";
        m_location.clear();
        return size;
    }
    if (line.empty()) {
        m_headComplete = true;
        endOfHeaderBlock();
        return size;
    }
    m_block.append(line);
    m_block += "\r\n";
    // Two lengths that differ leave the body's end unknown (a way to smuggle a response).
    if (startsWithNoCase(line, "content-length:")) {
        std::string_view value = line.substr(15);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
            value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
            value.remove_suffix(1);
        if (!m_contentLength.empty() && m_contentLength != value) {
            m_badHead = true;
            return 0;
        }
        m_contentLength.assign(value);
    }
    if (startsWithNoCase(line, "location:")) {
        std::string_view value = line.substr(9);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
            value.remove_prefix(1);
        m_location.assign(value);
    }
    if (m_block.size() > headerBlockLimit) {
        m_badHead = true;
        return 0;
    }
    return size;
}

// A response head is complete. It is the final response unless libcurl goes on: after an
// interim 1xx, a redirect it follows, or a challenge it may answer (then the final response is
// decided by the body that follows, or the end of the transfer).
void Transfer::endOfHeaderBlock()
{
    if (m_blockStatus / 100 == 1) {
        queueNumber(INTERNET_STATUS_INTERMEDIATE_RESPONSE, static_cast<DWORD>(m_blockStatus));
        return;
    }
    queueNumber(INTERNET_STATUS_RESPONSE_RECEIVED, static_cast<DWORD>(m_blockBytes));
    m_statusCode = m_blockStatus;
    m_finalHeaders = m_block + "\r\n";
    // libcurl follows every 3xx with a location; past the limit it fails the transfer, which
    // then has no final response.
    const bool redirect = m_blockStatus / 100 == 3 && !m_location.empty();
    if (redirect && m_followRedirects) {
        if (m_redirects == maxRedirects)
            return;
        ++m_redirects;
        m_followedRedirect = true;
        m_currentUrl = resolveReference(m_currentUrl, m_location);
        m_currentHost = hostOf(m_currentUrl);
        queueText(INTERNET_STATUS_REDIRECT, m_currentUrl);
        return;
    }
    if (m_blockStatus == 401 || m_blockStatus == 407)
        return;
    if (m_phase == Phase::Sending)
        markFinal();
}

void Transfer::onResolverStart()
{
    std::lock_guard lock(m_mutex);
    if (!current() || m_nameNotified)
        return;
    queueText(INTERNET_STATUS_RESOLVING_NAME, m_currentHost);
    m_nameNotified = true;
}

void Transfer::onSocketOpened(int socket, const std::string& address)
{
    m_driver->socketOpened(socket, this);
    m_connectingSockets.push_back(socket);
    std::lock_guard lock(m_mutex);
    if (!current())
        return;
    // A name found in libcurl's own cache is not resolved again; the caller still hears of it.
    if (!m_nameNotified)
        queueText(INTERNET_STATUS_RESOLVING_NAME, m_currentHost);
    if (!m_resolvedNotified)
        queueText(INTERNET_STATUS_NAME_RESOLVED, address);
    if (!m_connectingNotified)
        queueText(INTERNET_STATUS_CONNECTING_TO_SERVER, address);
    m_nameNotified = m_resolvedNotified = m_connectingNotified = true;
    m_connecting = true;
}

void Transfer::onRequestReady(const char* primaryAddress, int localPort)
{
    // Of the sockets tried for a new connection, the one bound to the local port is the one in use.
    for (int socket : m_connectingSockets) {
        sockaddr_storage local{};
        socklen_t length = sizeof local;
        if (::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0)
            continue;
        const int port = local.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port)
                                                     : ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
        if (port == localPort)
            m_driver->socketEstablished(socket);
    }
    m_connectingSockets.clear();
    std::lock_guard lock(m_mutex);
    if (!current())
        return;
    if (m_connecting)
        queueText(INTERNET_STATUS_CONNECTED_TO_SERVER, primaryAddress != nullptr ? primaryAddress : "");
    m_connecting = m_nameNotified = m_resolvedNotified = m_connectingNotified = false;
    queueEvent(INTERNET_STATUS_SENDING_REQUEST, nullptr, 0);
    m_awaitingServer = true;
    m_lastActivity = std::chrono::steady_clock::now();
    m_bytesSent = 0;
    m_sentNotified = false;
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(m_easy, CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK && socket != CURL_SOCKET_BAD)
        m_driver->socketOpened(socket, this);
    m_connectingSockets.push_back(socket);
}

void Transfer::onBytesSent(std::size_t size)
{
    m_bytesSent += size;
    m_lastActivity = std::chrono::steady_clock::now();
}

bool Transfer::silentTooLong(std::chrono::steady_clock::time_point now) const
{
    if (!m_awaitingServer || now - m_lastActivity < m_receiveTimeout)
        return false;
    std::lock_guard lock(m_mutex);
    return !m_paused && current();
}

// ---- helpers, with m_mutex held ----

void Transfer::queueEvent(DWORD status, const void* information, std::size_t length)
{
    const INTERNET_STATUS_CALLBACK callback = m_shared->callback.load();
    if (m_cancelled || m_context == 0 || callback == nullptr || callback == INTERNET_INVALID_STATUS_CALLBACK)
        return;
    Event event{status, {}};
    if (length > 0) {
        const auto* bytes = static_cast<const unsigned char*>(information);
        event.information.assign(bytes, bytes + length);
    }
    m_events.push_back(std::move(event));
    if (m_shared->async && !m_eventsScheduled) {
        m_eventsScheduled = true;
        // The session's thread delivers; a caller's read hands the scheduling over to it.
        if (m_driver->onDriverThread())
            m_driver->scheduleEvents(shared_from_this());
        else
            m_driver->post([self = shared_from_this(), driver = m_driver] { driver->scheduleEvents(self); });
    }
}

void Transfer::queueRead(DWORD count)
{
    if (count == 0)
        return;
    queueEvent(INTERNET_STATUS_RECEIVING_RESPONSE, nullptr, 0);
    queueNumber(INTERNET_STATUS_RESPONSE_RECEIVED, count);
}

void Transfer::queueNumber(DWORD status, DWORD value)
{
    queueEvent(status, &value, sizeof value);
}

void Transfer::queueText(DWORD status, const std::string& text)
{
    queueEvent(status, text.c_str(), text.size() + 1);
}

void Transfer::queueCompletion(bool success, DWORD error)
{
    const INTERNET_ASYNC_RESULT result{success ? DWORD_PTR{1} : DWORD_PTR{0}, error};
    queueEvent(INTERNET_STATUS_REQUEST_COMPLETE, &result, sizeof result);
}

void Transfer::markFinal()
{
    m_phase = Phase::Receiving;
    m_responseReady = true;
    if (m_sendPending) {
        m_sendPending = false;
        queueCompletion(true, 0);
    }
}

void Transfer::servePendingRead()
{
    if (m_pendingRead.count == nullptr)
        return;
    const PendingRead read = m_pendingRead;
    if (buffered() > 0 || m_phase == Phase::Complete) {
        m_pendingRead = {};
        *read.count = take(read.buffer, read.size);
        queueRead(*read.count);
        queueCompletion(true, 0);
    } else if (m_phase == Phase::Failed) {
        m_pendingRead = {};
        *read.count = 0;
        queueCompletion(false, m_error);
    }
}

} // namespace wininet
