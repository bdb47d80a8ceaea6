// Inside the Internet client layer: the network side of one request handle. The layer thread
// runs the transfer in libcurl and fills this object from libcurl's callbacks; the caller's
// thread waits on it, takes the body out of it and, in synchronous mode, delivers the status
// notifications it has gathered. libcurl itself stays out of this header (CURL is void).
// The transfer holds its driver weakly: the driver holds the transfers it works on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "wininet_curl.h"
#include "wininet_handles.h"
#include "wininet_response_head.h"
#include "wininet_driver.h"

namespace wininet {

// Redirects followed for one request before it fails with ERROR_HTTP_REDIRECT_FAILED.
inline constexpr long maxRedirects = 10;

// Everything the layer thread needs to start the transfer, gathered on the caller's thread.
struct TransferSetup {
    std::string url;
    std::string hostName;
    std::string verb;
    bool http10 = false; // the caller asked for HTTP/1.0; else HTTP/1.1
    std::string body;
    bool hasBody = false;
    std::vector<std::string> headers; // "Name: value", and "Name:" to drop one of libcurl's
    DWORD flags = 0;
    HandleOptions options;
    DWORD accessType = 0;
    std::string proxy;
    std::string proxyBypass;
    // When the request's time is up (INTERNET_OPTION_REQUEST_TIMEOUT), counted from its first send.
    std::optional<std::chrono::steady_clock::time_point> deadline;
};

class Transfer : public std::enable_shared_from_this<Transfer> {
public:
    Transfer(std::shared_ptr<SessionShared> shared, std::weak_ptr<Driver> driver, DWORD_PTR context);
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    void setHandle(HINTERNET handle) { m_handle = handle; }

    // Caller's side. Each returns 0 or the error code for the last error.
    // Starts (or starts again) the request. Synchronous: waits until the final response's
    // headers are in. Asynchronous: ERROR_IO_PENDING, completion through notification 100.
    DWORD send(TransferSetup setup);
    // Synchronous: waits until the buffer is full or the body has ended. Asynchronous: takes
    // what is there, or ERROR_IO_PENDING and completes through notification 100.
    DWORD read(char* buffer, DWORD size, DWORD* count);
    // The final response: status and raw header block. False before it is in.
    bool response(long& statusCode, std::string& headers) const;
    // Ends the transfer: blocked and later calls fail with 12017, and no notification is
    // delivered after this one returns, except the closing one. Called on closing the handle.
    // True when another thread is delivering a notification of this request right now: the
    // closing notification is then left to that thread, which sends it as soon as its callback
    // returns, so that it stays the request's last one.
    [[nodiscard]] bool cancel();
    bool cancelled() const;

    // Layer thread's side (libcurl callbacks and the driver's steps).
    void* easy() const { return m_easy.get(); }
    std::shared_ptr<Driver> driver() const { return m_driver.lock(); }
    void releaseEasy();
    // Sets the current send up on an easy handle never used before. share: the session's store
    // of connections and cookies. False when a setup step failed: the send has then failed with
    // a code, as refuse() fails it.
    [[nodiscard]] bool start(const TransferSetup& setup, void* share, Driver& driver);
    // The current send fails before libcurl takes it.
    void refuse(DWORD error);
    void finish(int curlCode);
    void resume();
    void deliverEvents();
    void socketClosed();
    std::size_t onWrite(const char* data, std::size_t size);
    std::size_t onHeader(const char* data, std::size_t size);
    void onResolverStart();
    void onSocketOpened(int socket, const std::string& address);
    void onRequestReady(const char* primaryAddress, int localPort);
    void onBytesSent(std::size_t size);
    // A message of the secure handshake (or a record after it) went out or came in: from the
    // handshake on, the server may stay silent no longer than the receive time-out.
    void onSecureData();
    // True when the server has been silent longer than the receive time-out while the request
    // waited on it (not while the reader is behind).
    bool silentTooLong(std::chrono::steady_clock::time_point now) const;

private:
    enum class Phase { Idle, Sending, Receiving, Complete, Failed };
    struct Event {
        DWORD status;
        std::vector<unsigned char> information;
    };
    struct PendingRead {
        char* buffer = nullptr;
        DWORD size = 0;
        DWORD* count = nullptr;
    };

    // What the caller's side sees of the current send; guarded by m_mutex, and started afresh
    // by each send.
    struct Response {
        Phase phase = Phase::Idle;
        bool ready = false; // the final response's head is in (the body may still fail)
        DWORD error = 0;
        bool sendPending = false; // asynchronous: notification 100 still owed for the send
        PendingRead pendingRead;
        long statusCode = 0;
        std::string headers; // the final response's head block
        std::vector<char> body;
        std::size_t bodyRead = 0;
        bool paused = false;
        bool resumePosted = false;
    };
    // The wire of the current send as the layer thread follows it; started afresh by each start.
    struct Progress {
        std::string host;
        std::string url;
        bool followRedirects = true;
        DWORD schemeChanges = 0;  // the INTERNET_FLAG_IGNORE_REDIRECT_TO_... flags of the request
        DWORD refusedRedirect = 0; // the failure of a redirect the flags don't allow
        bool connecting = false;
        bool nameNotified = false;
        bool resolvedNotified = false;
        bool connectingNotified = false;
        bool sentNotified = false;
        bool followedRedirect = false;
        int redirects = 0;
        std::size_t bytesSent = 0;
        std::vector<int> connectingSockets; // opened for the connection being set up
        std::chrono::steady_clock::time_point lastActivity;
        std::chrono::milliseconds receiveTimeout{0};
        bool awaitingServer = false; // in the handshake, or connected and sending or receiving: the
                                     // receive time-out runs
        ResponseHead head;           // of the response being received
    };

    // With m_mutex held.
    bool current() const { return m_activeGeneration == m_generation && !m_cancelled; }
    void queueEvent(DWORD status, const void* information, std::size_t length);
    void queueNumber(DWORD status, DWORD value);
    void queueText(DWORD status, const std::string& text);
    void queueCompletion(bool success, DWORD error);
    // A read that hands over data reports it: receiving, then received with the count.
    void queueRead(DWORD count);
    void markFinal();
    void fail(DWORD error);
    DWORD take(char* buffer, DWORD size);
    void servePendingRead();
    // False when the head ends in a redirect the request's flags refuse.
    bool endOfHeaderBlock();
    DWORD schemeChangeRefusal(const std::string& from, const std::string& to) const;
    std::size_t buffered() const { return m_response.body.size() - m_response.bodyRead; }
    // Delivers the gathered notifications on this thread, one at a time with the lock released
    // meanwhile, and stops as soon as the request is cancelled. One thread delivers at a time
    // (a callback may deliver nested ones on its own thread); another leaves the queue to it.
    void drainEvents(std::unique_lock<std::mutex>& lock);
    void notifyClosing();
    void post(Driver::Command command) const;
    DWORD waitForResponse(std::unique_lock<std::mutex>& lock);
    // Synchronous mode: one round of driving the transfer on this thread; false once stopped.
    bool driveRound(std::unique_lock<std::mutex>& lock, bool& first);
    DWORD readSynchronously(std::unique_lock<std::mutex>& lock, char* buffer, DWORD size, DWORD* count);
    DWORD readAsynchronously(std::unique_lock<std::mutex>& lock, char* buffer, DWORD size, DWORD* count);
    // 0, or the code of the setup step that failed.
    [[nodiscard]] DWORD configure(const TransferSetup& setup, void* share, Driver& driver);
    DWORD failureCode(int curlCode);

    const std::shared_ptr<SessionShared> m_shared;
    const std::weak_ptr<Driver> m_driver;
    const DWORD_PTR m_context;
    HINTERNET m_handle = nullptr;

    mutable std::mutex m_mutex;
    unsigned m_generation = 0;       // raised by each send
    unsigned m_activeGeneration = 0; // the send the layer thread runs now
    bool m_cancelled = false;
    Response m_response;
    std::deque<Event> m_events;
    bool m_eventsScheduled = false;
    std::thread::id m_deliveringThread; // the thread inside a status callback of this request
    int m_deliveryDepth = 0;
    bool m_closingOwed = false; // closed meanwhile from another thread: notify when delivered
    std::optional<std::chrono::steady_clock::time_point> m_deadline; // set by the first send

    // Layer thread only.
    curl::Easy m_easy;
    curl::HeaderList m_headerList;
    Progress m_progress;
};

} // namespace wininet
