#include "wininet_transfer.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "ascii_text.h"
#include "wininet_driver.h"
#include "wininet_errors.h"

namespace wininet {

namespace {

// The body is read ahead into a buffer of at most this size; past it the transfer is paused
// until the reader has taken it down to the low mark, so memory stays bounded.
constexpr std::size_t bodyBufferLimit = 1 << 20;
constexpr std::size_t bodyBufferLowMark = 256 << 10;
// The URL libcurl follows a redirect to: resolved as it resolves it, dot segments kept as the
// transfer keeps them (CURLOPT_PATH_AS_IS), so the notification names what is requested.
std::string resolveReference(const std::string& base, const std::string& reference)
{
    const curl::Url url = curl::newUrl();
    std::string resolved;
    char* text = nullptr;
    if (url && curl_url_set(url.get(), CURLUPART_URL, base.c_str(), CURLU_PATH_AS_IS) == CURLUE_OK
        && curl_url_set(url.get(), CURLUPART_URL, reference.c_str(),
                        CURLU_URLENCODE | CURLU_ALLOW_SPACE | CURLU_PATH_AS_IS) == CURLUE_OK
        && curl_url_get(url.get(), CURLUPART_URL, &text, 0) == CURLUE_OK)
        resolved = text;
    curl_free(text);
    return resolved.empty() ? reference : resolved;
}

std::string hostOf(const std::string& address)
{
    const curl::Url url = curl::newUrl();
    std::string host;
    char* text = nullptr;
    if (url && curl_url_set(url.get(), CURLUPART_URL, address.c_str(), 0) == CURLUE_OK
        && curl_url_get(url.get(), CURLUPART_HOST, &text, 0) == CURLUE_OK)
        host = text;
    curl_free(text);
    return host;
}

} // namespace

Transfer::Transfer(std::shared_ptr<SessionShared> shared, std::weak_ptr<Driver> driver, DWORD_PTR context)
    : m_shared(std::move(shared))
    , m_driver(std::move(driver))
    , m_context(context)
{
}

// ---- caller's side ----

DWORD Transfer::send(TransferSetup setup)
{
    std::unique_lock lock(m_mutex);
    if (m_cancelled)
        return ERROR_INTERNET_OPERATION_CANCELLED;
    ++m_generation;
    m_response = Response{.phase = Phase::Sending, .sendPending = m_shared->async};
    const DWORD requestTimeout = setup.options.requestTimeout.value_or(0);
    if (!m_deadline && requestTimeout != 0)
        m_deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(requestTimeout);
    setup.deadline = m_deadline;
    lock.unlock();
    post([self = shared_from_this(), setup = std::move(setup)](Driver& driver) { driver.startTransfer(self, setup); });
    if (m_shared->async)
        return ERROR_IO_PENDING;
    lock.lock();
    return waitForResponse(lock);
}

// Dropped once the driver is gone: nothing is left to do the command then.
void Transfer::post(Driver::Command command) const
{
    if (const std::shared_ptr<Driver> driver = m_driver.lock())
        driver->post(std::move(command));
}

bool Transfer::driveRound(std::unique_lock<std::mutex>& lock, bool& first)
{
    lock.unlock();
    const std::shared_ptr<Driver> driver = m_driver.lock();
    const bool running = driver && driver->drive(!first);
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
        if (m_response.ready)
            return 0;
        switch (m_response.phase) {
        case Phase::Receiving:
        case Phase::Complete:
            return 0;
        case Phase::Failed:
            return m_response.error;
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
    if (m_response.phase == Phase::Idle || m_response.phase == Phase::Sending)
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
        if (*count == size || m_response.phase == Phase::Complete)
            break;
        if (m_response.phase == Phase::Failed) {
            // Hand over what arrived before the failure; the next read reports it.
            if (*count > 0)
                break;
            return m_response.error;
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
    if (*count > 0 || m_response.phase == Phase::Complete)
        return 0;
    if (m_response.phase == Phase::Failed)
        return m_response.error;
    if (m_response.pendingRead.count != nullptr)
        return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    m_response.pendingRead = {buffer, size, count};
    return ERROR_IO_PENDING;
}

bool Transfer::response(long& statusCode, std::string& headers) const
{
    std::lock_guard lock(m_mutex);
    if (!m_response.ready)
        return false;
    statusCode = m_response.statusCode;
    headers = m_response.headers;
    return true;
}

bool Transfer::cancel()
{
    bool closingOwed = false;
    {
        std::lock_guard lock(m_mutex);
        m_cancelled = true;
        m_response.pendingRead = {};
        m_events.clear();
        closingOwed = m_deliveryDepth > 0 && m_deliveringThread != std::this_thread::get_id();
        m_closingOwed = closingOwed;
    }
    post([self = shared_from_this()](Driver& driver) { driver.releaseTransfer(self); });
    return closingOwed;
}

bool Transfer::cancelled() const
{
    std::lock_guard lock(m_mutex);
    return m_cancelled;
}

DWORD Transfer::take(char* buffer, DWORD size)
{
    Response& response = m_response;
    const std::size_t count = std::min<std::size_t>(buffered(), size);
    if (count > 0)
        std::memcpy(buffer, response.body.data() + response.bodyRead, count);
    response.bodyRead += count;
    if (response.bodyRead == response.body.size()) {
        response.body.clear();
        response.bodyRead = 0;
    } else if (response.bodyRead >= bodyBufferLowMark && response.bodyRead >= buffered()) {
        // Moved down only once what was taken outweighs what is left: each byte is then moved
        // at most once on average (moving at every low mark moved three bytes for each one read).
        const auto taken = static_cast<std::ptrdiff_t>(response.bodyRead);
        response.body.erase(response.body.begin(), response.body.begin() + taken);
        response.bodyRead = 0;
    }
    if (response.paused && !response.resumePosted && buffered() <= bodyBufferLowMark) {
        response.resumePosted = true;
        post([self = shared_from_this()](Driver& driver) { driver.resumeTransfer(self); });
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
    m_easy.reset();
    m_headerList.reset();
}

bool Transfer::start(const TransferSetup& setup, void* share, Driver& driver)
{
    {
        std::lock_guard lock(m_mutex);
        m_activeGeneration = m_generation;
    }
    m_progress = Progress{.host = setup.hostName,
                          .url = setup.url,
                          .followRedirects = (setup.flags & INTERNET_FLAG_NO_AUTO_REDIRECT) == 0,
                          .schemeChanges = setup.flags & (INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP |
                                                          INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS),
                          .lastActivity = std::chrono::steady_clock::now()};
    releaseEasy();
    m_easy = curl::newEasy();
    const DWORD failure = m_easy ? configure(setup, share, driver) : ERROR_NOT_ENOUGH_MEMORY;
    if (failure == ERROR_SUCCESS)
        return true;
    refuse(failure);
    return false;
}

void Transfer::refuse(DWORD error)
{
    std::lock_guard lock(m_mutex);
    if (current())
        fail(error);
}

void Transfer::finish(int curlCode)
{
    std::lock_guard lock(m_mutex);
    if (!current())
        return;
    // libcurl takes a connection that ends inside a response head for a whole response, with
    // no status or headers yet: that is a connection ended abnormally.
    if (curlCode == CURLE_OK && m_response.phase == Phase::Sending && !m_progress.head.complete())
        curlCode = CURLE_PARTIAL_FILE;
    if (curlCode != CURLE_OK) {
        fail(failureCode(curlCode));
        return;
    }
    if (m_response.phase == Phase::Sending)
        markFinal();
    m_response.phase = Phase::Complete;
    servePendingRead();
}

DWORD Transfer::failureCode(int curlCode)
{
    // libcurl refuses a header line past its own limit as "out of memory", and a folded line
    // with no header before it as a "bad argument": what happened is that the server's
    // response head was too large or malformed.
    const bool refusedHead = !m_response.ready
        && (curlCode == CURLE_OUT_OF_MEMORY || curlCode == CURLE_BAD_FUNCTION_ARGUMENT);
    if (m_progress.refusedRedirect != 0)
        return m_progress.refusedRedirect;
    if (m_progress.head.refused() || refusedHead)
        return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    long osError = 0;
    long verifyResult = 0;
    curl_easy_getinfo(m_easy.get(), CURLINFO_OS_ERRNO, &osError);
    curl_easy_getinfo(m_easy.get(), CURLINFO_SSL_VERIFYRESULT, &verifyResult);
    return errorFromTransfer(curlCode, osError, verifyResult, m_progress.followedRedirect);
}

void Transfer::resume()
{
    {
        std::lock_guard lock(m_mutex);
        m_response.resumePosted = false;
        if (!current() || !m_response.paused)
            return;
        m_response.paused = false;
    }
    curl_easy_pause(m_easy.get(), CURLPAUSE_CONT);
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
    m_progress.lastActivity = std::chrono::steady_clock::now();
    std::lock_guard lock(m_mutex);
    if (!current())
        return 0;
    if (buffered() > 0 && buffered() + size > bodyBufferLimit) {
        m_response.paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (m_response.phase == Phase::Sending)
        markFinal();
    // The body is reported by the reads that hand it over, not as it arrives.
    m_response.body.insert(m_response.body.end(), data, data + size);
    servePendingRead();
    return size;
}

std::size_t Transfer::onHeader(const char* data, std::size_t size)
{
    m_progress.lastActivity = std::chrono::steady_clock::now();
    std::lock_guard lock(m_mutex);
    if (!current())
        return 0;
    ResponseHead& head = m_progress.head;
    switch (head.take(std::string_view(data, size))) {
    case ResponseHead::Line::Status:
        if (!m_progress.sentNotified) {
            queueNumber(INTERNET_STATUS_REQUEST_SENT, static_cast<DWORD>(m_progress.bytesSent));
            m_progress.sentNotified = true;
        }
        // An interim answer (1xx) is reported whole at its end; a response head is received.
        if (!head.interim())
            queueEvent(INTERNET_STATUS_RECEIVING_RESPONSE, nullptr, 0);
        return size;
    case ResponseHead::Line::End:
        return endOfHeaderBlock() ? size : 0;
    case ResponseHead::Line::Field:
        return size;
    case ResponseHead::Line::Refused:
        break;
    }
    return 0;
}

// A response head is complete. It is the final response unless libcurl goes on: after an
// interim 1xx, a redirect it follows, or a challenge it may answer (then the final response is
// decided by the body that follows, or the end of the transfer).
bool Transfer::endOfHeaderBlock()
{
    const ResponseHead& head = m_progress.head;
    if (head.interim()) {
        queueNumber(INTERNET_STATUS_INTERMEDIATE_RESPONSE, static_cast<DWORD>(head.status()));
        return true;
    }
    queueNumber(INTERNET_STATUS_RESPONSE_RECEIVED, static_cast<DWORD>(head.bytes()));
    m_response.statusCode = head.status();
    m_response.headers = head.block() + "\r\n";
    // libcurl follows every 3xx with a location; past the limit it fails the transfer, which
    // then has no final response.
    const bool redirect = head.status() / 100 == 3 && !head.location().empty();
    if (redirect && m_progress.followRedirects) {
        if (m_progress.redirects == maxRedirects)
            return true;
        const std::string target = resolveReference(m_progress.url, head.location());
        if (const DWORD refusal = schemeChangeRefusal(m_progress.url, target)) {
            m_progress.refusedRedirect = refusal;
            return false;
        }
        ++m_progress.redirects;
        m_progress.followedRedirect = true;
        m_progress.url = target;
        m_progress.host = hostOf(m_progress.url);
        queueText(INTERNET_STATUS_REDIRECT, m_progress.url);
        return true;
    }
    if (head.status() != 401 && head.status() != 407 && m_response.phase == Phase::Sending)
        markFinal();
    return true;
}

// A redirect between http and https is followed only when the request's flags allow that way.
DWORD Transfer::schemeChangeRefusal(const std::string& from, const std::string& to) const
{
    const bool fromSecure = platform::ascii::startsWithIgnoringCase(from, "https:");
    const bool toSecure = platform::ascii::startsWithIgnoringCase(to, "https:");
    if (fromSecure && !toSecure && (m_progress.schemeChanges & INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP) == 0)
        return ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR;
    if (!fromSecure && toSecure && (m_progress.schemeChanges & INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS) == 0)
        return ERROR_INTERNET_HTTP_TO_HTTPS_ON_REDIR;
    return 0;
}

void Transfer::onResolverStart()
{
    std::lock_guard lock(m_mutex);
    if (!current() || m_progress.nameNotified)
        return;
    queueText(INTERNET_STATUS_RESOLVING_NAME, m_progress.host);
    m_progress.nameNotified = true;
}

void Transfer::onSocketOpened(int socket, const std::string& address)
{
    if (const std::shared_ptr<Driver> driver = m_driver.lock())
        driver->socketOpened(socket, this);
    m_progress.connectingSockets.push_back(socket);
    std::lock_guard lock(m_mutex);
    if (!current())
        return;
    // A name found in libcurl's own cache is not resolved again; the caller still hears of it.
    Progress& progress = m_progress;
    if (!progress.nameNotified)
        queueText(INTERNET_STATUS_RESOLVING_NAME, progress.host);
    if (!progress.resolvedNotified)
        queueText(INTERNET_STATUS_NAME_RESOLVED, address);
    if (!progress.connectingNotified)
        queueText(INTERNET_STATUS_CONNECTING_TO_SERVER, address);
    progress.nameNotified = progress.resolvedNotified = progress.connectingNotified = true;
    progress.connecting = true;
}

void Transfer::onRequestReady(const char* primaryAddress, int localPort)
{
    const std::shared_ptr<Driver> driver = m_driver.lock();
    Progress& progress = m_progress;
    // Of the sockets tried for a new connection, the one bound to the local port is the one in use.
    for (int socket : progress.connectingSockets) {
        sockaddr_storage local{};
        socklen_t length = sizeof local;
        if (::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0)
            continue;
        const int port = local.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port)
                                                     : ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
        if (port == localPort && driver)
            driver->socketEstablished(socket);
    }
    progress.connectingSockets.clear();
    std::lock_guard lock(m_mutex);
    if (!current())
        return;
    if (progress.connecting)
        queueText(INTERNET_STATUS_CONNECTED_TO_SERVER, primaryAddress != nullptr ? primaryAddress : "");
    progress.connecting = progress.nameNotified = progress.resolvedNotified = progress.connectingNotified = false;
    queueEvent(INTERNET_STATUS_SENDING_REQUEST, nullptr, 0);
    progress.awaitingServer = true;
    progress.lastActivity = std::chrono::steady_clock::now();
    progress.bytesSent = 0;
    progress.sentNotified = false;
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(m_easy.get(), CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK && socket != CURL_SOCKET_BAD &&
        driver)
        driver->socketOpened(socket, this);
    progress.connectingSockets.push_back(socket);
}

void Transfer::onBytesSent(std::size_t size)
{
    m_progress.bytesSent += size;
    m_progress.lastActivity = std::chrono::steady_clock::now();
}

void Transfer::onSecureData()
{
    m_progress.awaitingServer = true;
    m_progress.lastActivity = std::chrono::steady_clock::now();
}

bool Transfer::silentTooLong(std::chrono::steady_clock::time_point now) const
{
    if (!m_progress.awaitingServer || now - m_progress.lastActivity < m_progress.receiveTimeout)
        return false;
    std::lock_guard lock(m_mutex);
    return !m_response.paused && current();
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
        const std::shared_ptr<Driver> driver = m_driver.lock();
        if (driver && driver->onDriverThread())
            driver->scheduleEvents(shared_from_this());
        else
            post([self = shared_from_this()](Driver& owner) { owner.scheduleEvents(self); });
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
    m_response.phase = Phase::Receiving;
    m_response.ready = true;
    if (m_response.sendPending) {
        m_response.sendPending = false;
        queueCompletion(true, 0);
    }
}

void Transfer::fail(DWORD error)
{
    m_response.phase = Phase::Failed;
    m_response.error = error;
    if (m_response.sendPending) {
        m_response.sendPending = false;
        queueCompletion(false, error);
    }
    servePendingRead();
}

void Transfer::servePendingRead()
{
    const PendingRead read = m_response.pendingRead;
    if (read.count == nullptr)
        return;
    if (buffered() > 0 || m_response.phase == Phase::Complete) {
        m_response.pendingRead = {};
        *read.count = take(read.buffer, read.size);
        queueRead(*read.count);
        queueCompletion(true, 0);
    } else if (m_response.phase == Phase::Failed) {
        m_response.pendingRead = {};
        *read.count = 0;
        queueCompletion(false, m_response.error);
    }
}

} // namespace wininet
