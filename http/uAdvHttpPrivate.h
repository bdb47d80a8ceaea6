// Inside TAdvHttp: its state, handles and locks, and the steps of a request, behind the
// component's one pointer (TAdvHttp::d). The public class reads and writes the plain values here
// itself; what this part declares is what it does. q leads back to the component for its
// events, its owner and its thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "TEventRoute.h"
#include "uAdvHttp.h"

// Hidden: no public header defines it, so nothing outside the library can use its symbols.
class DORVANE_HTTP_NO_EXPORT TAdvHttp::Private {
public:
    explicit Private(TAdvHttp* component);
    Private(const Private&) = delete;
    Private& operator=(const Private&) = delete;

    TAdvHttp* const q;
    // How the component's events reach their handlers, and how it is freed later.
    TEventRoute FRoute;

    // What the status of a response asks for, how an answer to a challenge went, and where a
    // response left its request.
    enum class TStatusOutcome { Failed, Content, Challenge };
    enum class TAuthOutcome { Failed, Resent };
    enum class TProgress { Completed, Failed, Resent };
    // How the running request ends, decided once (under FCancelLock): by its first failure, by
    // Cancel (or a stop for an ended event thread), or by its completion. Nothing changes it
    // until the next start; a request that has failed never completes.
    enum class TEnding { Open, Failed, Completed };

    // The request, step by step (uAdvHttp.cpp). Each step says whether the request goes on; one
    // that fails has recorded why before it returns false.
    [[nodiscard]] bool Run(bool synchronous);
    [[nodiscard]] bool EnsureCompletionEvent();
    [[nodiscard]] std::uint64_t StartRequest(bool synchronous);
    [[nodiscard]] bool EnsureInternetHandle();
    [[nodiscard]] bool OpenInternet();
    void ReopenInternet();
    [[nodiscard]] bool Connect();
    void SetCertificateOptions();
    void SetConnectionOption(DWORD option, const std::string& value);
    [[nodiscard]] bool OpenRequest();
    [[nodiscard]] bool SendRequest();
    [[nodiscard]] bool CheckRequestHead();
    [[nodiscard]] TProgress ProcessResponse();
    TStatusOutcome CheckAuthentication();
    TAuthOutcome AnswerAuthentication();
    [[nodiscard]] std::string CredentialsInForce() const;
    bool AskForCredentials();
    TAuthOutcome AbandonRequest();
    [[nodiscard]] TProgress ReadResponse();
    TProgress EndUnread();
    [[nodiscard]] bool CompleteRequest();
    [[nodiscard]] bool ReadHeaders();
    [[nodiscard]] bool ReadBody();
    void ReserveForBody();
    [[nodiscard]] bool ReadChunks();
    [[nodiscard]] bool AppendChunk(DWORD count);
    // The request is over: its last event delivered, Busy false, CompletionEvent signalled, and
    // a component that frees itself on close asks for it. Once per request, and not once a
    // handler has started the next one.
    void EndRequest(std::uint64_t request);
    [[nodiscard]] std::uint64_t CurrentRequest();
    void CloseRequest();
    void CloseRequestHandle(HINTERNET request, bool closedByCancel);
    bool CloseInternet();
    bool CloseInternetHandle();
    // Stopping: Cancel, or an event thread that has ended.
    void Stop(DWORD code);
    [[nodiscard]] bool RecordCancel();
    void EndCancelledWithoutWorker();

    // Failures (uAdvHttpFailures.cpp). A failure is recorded in one place, RecordFailureAs
    // (LastError, OnError, and the exception kept for the caller); inside a request only the
    // first decides its ending. Whether it is raised is decided where it reaches a caller:
    // ReportStartFailure for Execute, RaiseWriteFailure for a property write (which records its
    // own failure, outside any request's ending, while a TPropertyWrite lives on this thread).
    [[nodiscard]] bool CheckResult(bool succeeded);
    bool RecordFailure(DWORD code);
    bool RecordFailure(DWORD code, const std::string& message);
    bool RecordFailureAs(DWORD code, const std::function<std::exception_ptr()>& makeFailure);
    void RecordFromNotification(DWORD code);
    void DeliverFailureOnce(DWORD code, const std::function<std::exception_ptr()>& makeFailure);
    [[nodiscard]] bool DecideEnding(TEnding ending, bool* stopped = nullptr);
    bool ReportStartFailure(std::exception_ptr failure, DWORD reason);
    [[noreturn]] void RaiseWriteFailure();
    void KeepForCaller(std::exception_ptr failure);
    std::exception_ptr TakeCallerFailure();
    class TPropertyWrite {
    public:
        explicit TPropertyWrite(const Private& component);
        ~TPropertyWrite();
        TPropertyWrite(const TPropertyWrite&) = delete;
        TPropertyWrite& operator=(const TPropertyWrite&) = delete;

    private:
        const void* m_previous;
    };
    [[nodiscard]] bool WritingProperty() const;
    [[nodiscard]] std::string StopMessage(DWORD code) const;

    // Handlers that raise (uAdvHttpFailures.cpp). FireCaught is the one place the request's own
    // thread takes a handler's exception; a status event's, raised on the library's thread, is
    // kept until the request's thread looks (CheckHandlers).
    std::exception_ptr FireCaught(const TNotifyEvent& handler);
    [[nodiscard]] bool Deliver(const TNotifyEvent& handler);
    [[nodiscard]] bool FireRequestEvent(const TNotifyEvent& handler);
    bool CancelForHandler(std::exception_ptr raised);
    [[nodiscard]] bool CheckHandlers();
    void KeepHandlerFailure(std::exception_ptr failure);
    void DropHandlerFailure();

    // URL and its parts (uAdvHttpUrl.cpp).
    [[nodiscard]] bool SplitURL(const std::string& url);
    [[nodiscard]] bool BuildURL();
    std::int32_t DefaultPort() const;
    template <class Value> void SetURLPart(Value& part, Value value);
    void RefuseUnsendablePart(const char* part, const std::string& value);
    // A layout read that leaves a value as it is (uAdvHttpStreaming.cpp).
    bool SkipWhileLoading(bool unchanged) const;

    // Freeing later. While a TRequestInHand lives, a request of this component is in hand on its
    // thread (inside Execute, or on the worker): a release asked for meanwhile waits for the last
    // one to go.
    class TRequestInHand {
    public:
        explicit TRequestInHand(Private& component);
        ~TRequestInHand();
        TRequestInHand(const TRequestInHand&) = delete;
        TRequestInHand& operator=(const TRequestInHand&) = delete;

    private:
        Private& m_component;
    };
    void AskForRelease();

    // Status notifications and the worker (uAdvHttpStatus.cpp).
    static void StatusCallback(HINTERNET internet, DWORD_PTR context, DWORD status, LPVOID information,
                               DWORD informationLength);
    void HandleStatus(DWORD status, LPVOID information, DWORD informationLength);
    void RequestCompleted(LPVOID information, DWORD informationLength);
    bool HandOverCompletion(bool succeeded);
    void StartWorker(std::unique_lock<std::mutex>& lock);
    static DWORD WorkerThreadProc(LPVOID parameter);
    void RunWorker();
    bool WaitForPendingRead();
    bool TakeNextResponse();
    void WaitForWorker(HANDLE worker);
    void WaitForClosingNotification();
    void RequestHandleClosing(HINTERNET request);

    // Published values.
    std::int32_t FConnectTimeout = 30000;
    bool FRaiseExceptions = true;
    std::string FUserAgent = DefaultUserAgent;
    std::string FProxy;
    bool FSSL = false;
    std::string FURL;
    std::string FURLPath;
    std::string FExtraInfo;
    std::int32_t FPort = INTERNET_DEFAULT_HTTP_PORT;
    std::string FUserName;
    std::string FPassword;
    std::string FProxyUserName;
    std::string FProxyPassword;
    std::string FHostName = LoopbackHostName;
    bool FDefaultUi = true;
    TStringList FRequestHeaders;
    TStringList FAcceptTypes;
    std::string FMethod = "GET";
    std::string FRequestBody;
    std::int32_t FAuthRetries = 3;
    TInternetFlags FInternetFlags = DefaultInternetFlags;
    DWORD FRequestFlags = RequestFlagsOf(DefaultInternetFlags); // follows FInternetFlags
    DWORD FReceiveTimeout = 0; // 0: the library's
    DWORD FRequestTimeout = 0; // 0: none
    bool FKeepResponseBody = true;
    std::size_t FResponseBodyLimit = MaxResponseBodySize;
    // The two above as the current request took them at its start: a handler that writes them
    // meanwhile changes the next request, not the body half read.
    bool FKeepingBody = true;
    std::size_t FBodyLimit = MaxResponseBodySize;
    std::string FCertificateAuthorities;
    std::string FClientCertificate;
    std::string FClientKey;

    // Values read by handlers. Notifications and the worker write them on other threads.
    std::atomic<DWORD> FLastError{0};
    std::atomic<DWORD> FStatusCode{0};
    TStringList FResponseHeaders;
    std::string FServerAddress;
    std::atomic<DWORD> FBytesSent{0};
    std::atomic<DWORD> FBytesReceived{0};
    std::atomic<DWORD> FTotalBytesReceived{0};
    std::atomic<DWORD> FChunkPosition{0};
    std::atomic<DWORD> FChunkSize{0};
    std::atomic<DWORD> FBytesRead{0};
    std::string FRedirectURL;
    std::atomic<LPVOID> FStatusInfo{nullptr};
    std::atomic<DWORD> FStatusInfoLength{0};
    std::atomic<bool> FBusy{false};
    std::atomic<bool> FReleaseOnClose{false};
    // A release was asked for (ReleaseOnClose or PostRelease): the component takes no new request.
    std::atomic<bool> FReleasePending{false};
    // A release asked for while a request is in hand (inside Execute, or on the worker) waits
    // until it is out of hand, so the request's last events come first.
    std::mutex FReleaseLock;
    int FRequestsInHand = 0;   // guarded by FReleaseLock
    bool FReleaseAsked = false; // guarded by FReleaseLock
    mutable std::mutex FTextValuesLock; // ServerAddress and RedirectURL

    // The request's state.
    HINTERNET FInternet = nullptr;
    HINTERNET FConnect = nullptr;
    HINTERNET FRequest = nullptr; // written under FCancelLock, which Cancel reads it under
    // Cancel closes the request handle from any thread; the request's own thread then finds
    // its calls failing, records the cancellation once, and closes what is left.
    std::mutex FCancelLock;
    std::atomic<TEnding> FEnding{TEnding::Completed}; // written under FCancelLock
    std::atomic<bool> FCancelRequested{false}; // a stop decided the ending; written under FCancelLock
    DWORD FStopCode = ERROR_INTERNET_OPERATION_CANCELLED; // what the stop records; guarded by FCancelLock
    bool FRequestClosedByCancel = false; // guarded by FCancelLock
    std::atomic<bool> FCancelRecorded{false};
    // Requests are numbered, so that the end of one is never taken for the end of the next one
    // (which a handler of its last event may start).
    std::mutex FEndLock;
    std::uint64_t FRequestNumber = 0; // guarded by FEndLock
    bool FRequestOver = true;         // guarded by FEndLock
    // The request handle whose notifications are taken; empty once the request has ended (closed,
    // or its asynchronous send failed), so that no status event follows the end of a request.
    std::atomic<HINTERNET> FNotifiedRequest{nullptr};
    // Closing the request waits for its closing notification, the last one the library sends
    // for it: a notification being delivered on the library's thread right then comes first.
    std::mutex FClosingLock;
    std::condition_variable FClosingDone;
    HINTERNET FClosingRequest = nullptr;
    bool FClosingNotified = false;
    DWORD FInternetModeFlags = 0; // the mode the open Internet handle was opened in
    bool FInternetOutdated = false; // UserAgent or Proxy changed while a request ran
    std::atomic<DWORD> FModeFlags{0}; // 0: synchronous; INTERNET_FLAG_ASYNC
    DWORD FSecureFlag = 0;
    std::string FResponseBody;
    // The library fills a pending read's buffer and count later, from its own thread, so both
    // live with the component until the request handle is closed.
    std::unique_ptr<char[]> FChunkBuffer;
    DWORD FChunkCount = 0;
    std::int32_t FAuthAttempts = 0;
    std::string FCredentialsSent; // those the last send went with: not sent again once refused
    std::atomic<bool> FAbort{false};
    HANDLE FCompletionEvent = nullptr; // empty when it couldn't be made: the next start tries again
    std::mutex FFailureLock;
    // The recorded failure of the current request (or property write): what Execute raises when
    // RaiseExceptions says so, or what a property write raises.
    std::exception_ptr FFailure; // guarded by FFailureLock
    // The failure of a property write, which that write raises.
    std::exception_ptr FWriteFailure; // guarded by FFailureLock
    // A status event's handler that raised inside a library call, on whatever thread: kept here
    // and taken by the thread that runs the request at its next step, never thrown through the
    // library.
    std::exception_ptr FHandlerFailure; // guarded by FFailureLock

    // The worker hand-off. A completion that arrives before the worker waits is kept in
    // FCompletionPending, so none is lost.
    std::mutex FWorkerLock;
    std::condition_variable FWorkerWake;
    HANDLE FWorkerThread = nullptr; // the current worker, or the last one until it is joined
    DWORD FWorkerThreadId = 0;
    bool FWorkerActive = false;     // a worker is in its loop and takes completions
    bool FCompletionPending = false;
    bool FCompletionSucceeded = false;
};
