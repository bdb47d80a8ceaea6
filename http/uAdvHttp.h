// TAdvHttp: a non-visual component that performs one HTTP request at a time through the
// Internet client library, turns the library's status notifications into events, and reports
// failures as LastError, OnError and EInetError.
//
//   auto* http = new TAdvHttp(form);          // a windowed owner: events arrive on its thread
//   http->SetRaiseExceptions(false);
//   http->SetURL("http://example.test/make_login.asp?userlogin=alice");
//   if (http->Execute(true))                  // the whole request, on this thread
//       use(http->Text());
//
// Execute(false) returns once the request is sent; the response is processed on a worker
// thread and OnRequestComplete tells when it is over. No status event (OnReceivingResponse,
// OnConnectionClosed, ...) follows the end of a request.
//
// Threads. Events of a component whose owner is a widget run on the thread that made the first
// such component (the program's main thread): the request's threads wait for it to take them.
// That thread must therefore not block while it waits for an asynchronous request to end:
// waiting on CompletionEvent there, without letting events in, lasts until the wait times out.
// Let the event loop run instead, until a handler says the request is over:
//
//   QEventLoop loop;
//   http->OnRequestComplete = [&](TObject*) { loop.quit(); };
//   http->OnError = [&](TObject*) { loop.quit(); };  // a failed request ends without OnRequestComplete
//   if (http->Execute(false))                         // false: it failed to start (see Execute)
//       loop.exec();                                  // the request's events come in here
//
// Events of any other component (no owner, or an owner that is not a widget) run on the
// request's own threads, and a plain wait on CompletionEvent serves.
//
// Endings. Freeing the owner, or the component, at any moment of a request is safe: the
// request stops, and no handler of the component (or of any component of a freed owner) runs
// once that has begun. A handler must not free its own component, directly or with its owner:
// the program stops with a message saying so. It calls PostRelease() instead, or the component
// frees itself with ReleaseOnClose. A handler that raises stops the request: see Execute.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Exception.h"
#include "TComponent.h"
#include "TInternetFlags.h"
#include "TStringList.h"
#include "errhandlingapi.h" // GetLastError: why Execute refused to start
#include "synchapi.h"       // WaitForSingleObject, ResetEvent: waiting on CompletionEvent
#include "wininet.h"

// The component's error: a message text only.
class EInetError : public Exception {
public:
    using Exception::Exception;
};

// Where the events of a component without a widget owner run (a widget owner's always run on
// the notification window's thread).
enum class TEventThread {
    // On the thread that fires them: the caller's inside a synchronous request, the library's
    // and the worker's in an asynchronous one.
    Firing,
    // On the thread the component belongs to (the one that created it), through that thread's
    // event loop: a program without widgets gets its events where it made the component.
    Own,
};

class TAdvHttp : public TComponent {
    Q_OBJECT
public:
    // The start value of InternetFlags.
    static constexpr TInternetFlags DefaultInternetFlags{ifIgnoreCertCnInvalid, ifIgnoreCertDateInvalid,
                                                         ifIgnoreRedirectToHttp, ifIgnoreRedirectToHttps,
                                                         ifKeepConnection, ifNoUi, ifReload};
    // The start value of HostName: the loopback name of this machine.
    static constexpr const char* LoopbackHostName = "localhost";
    static constexpr const char* DefaultUserAgent = "Tarnwick WinInet Component";

    explicit TAdvHttp(QObject* owner);
    ~TAdvHttp() override;
    TAdvHttp(const TAdvHttp&) = delete;
    TAdvHttp& operator=(const TAdvHttp&) = delete;

    std::string ClassName() const override;
    std::vector<TPropertyInfo> PublishedProperties() override;

    // Published properties, in streaming order.
    std::int32_t ConnectTimeout() const { return FConnectTimeout; }
    void SetConnectTimeout(std::int32_t milliseconds) { FConnectTimeout = milliseconds; }
    bool RaiseExceptions() const { return FRaiseExceptions; }
    void SetRaiseExceptions(bool raise) { FRaiseExceptions = raise; }
    const std::string& UserAgent() const { return FUserAgent; }
    void SetUserAgent(const std::string& agent);
    const std::string& Proxy() const { return FProxy; }
    void SetProxy(const std::string& proxy);
    bool SSL() const { return FSSL; }
    void SetSSL(bool ssl);
    const std::string& URL() const { return FURL; }
    void SetURL(const std::string& url);
    const std::string& URLPath() const { return FURLPath; }
    void SetURLPath(const std::string& path);
    const std::string& ExtraInfo() const { return FExtraInfo; }
    void SetExtraInfo(const std::string& extraInfo);
    std::int32_t Port() const { return FPort; }
    void SetPort(std::int32_t port);
    const std::string& UserName() const { return FUserName; }
    void SetUserName(const std::string& userName);
    const std::string& Password() const { return FPassword; }
    void SetPassword(const std::string& password);
    const std::string& ProxyUserName() const { return FProxyUserName; }
    void SetProxyUserName(const std::string& userName);
    const std::string& ProxyPassword() const { return FProxyPassword; }
    void SetProxyPassword(const std::string& password);
    const std::string& HostName() const { return FHostName; }
    void SetHostName(const std::string& hostName);
    bool DefaultUi() const { return FDefaultUi; }
    void SetDefaultUi(bool defaultUi) { FDefaultUi = defaultUi; }
    const TStringList& RequestHeaders() const { return FRequestHeaders; }
    void SetRequestHeaders(const TStringList& headers) { FRequestHeaders.Assign(headers); }
    const TStringList& AcceptTypes() const { return FAcceptTypes; }
    void SetAcceptTypes(const TStringList& types) { FAcceptTypes.Assign(types); }
    const std::string& Method() const { return FMethod; }
    void SetMethod(const std::string& method) { FMethod = method; }
    // Reading: the last response body up to its first zero byte. Writing: the request body
    // sent with every following request.
    std::string Text() const;
    // The whole body of the last response, zero bytes included (Text stops at the first one).
    // Read it from OnDataAvailable or once the request is over.
    const std::string& ResponseBody() const { return FResponseBody; }
    void SetText(const std::string& requestBody) { FRequestBody = requestBody; }
    std::int32_t AuthRetries() const { return FAuthRetries; }
    void SetAuthRetries(std::int32_t retries) { FAuthRetries = retries; }
    TInternetFlags InternetFlags() const { return FInternetFlags; }
    void SetInternetFlags(TInternetFlags flags);

    // Not published (a layout neither stores nor reads them).
    // Milliseconds a response may stay silent (before its head, or between two pieces of its
    // body) before the request fails with ERROR_INTERNET_TIMEOUT; applied at the next request.
    // 0, the start value, leaves it to the library: 30 s unless the process set another default.
    DWORD ReceiveTimeout() const { return FReceiveTimeout; }
    void SetReceiveTimeout(DWORD milliseconds) { FReceiveTimeout = milliseconds; }
    // Where events run when the owner is not a widget; TEventThread::Firing to start with. With
    // TEventThread::Own, a request's events wait until the component's thread takes them from
    // its event loop, so that thread must let its loop run (QEventLoop, QCoreApplication::exec)
    // while an asynchronous request is under way, and not block waiting on CompletionEvent.
    // Raises EInetError when asked for Own on a thread that runs no event loop. Takes effect
    // at once; change it only while no request runs.
    TEventThread EventThread() const { return FEventThread; }
    void SetEventThread(TEventThread thread);

    // Values that handlers and callers read. Each describes the current request, or the last one
    // once it is over: all are reset (0, empty) when a request starts, so a request that fails
    // before its answer shows no status, header or body of an earlier one.
    DWORD LastError() const { return FLastError; }
    DWORD StatusCode() const { return FStatusCode; }
    const TStringList& ResponseHeaders() const { return FResponseHeaders; }
    std::string ServerAddress() const;
    DWORD BytesSent() const { return FBytesSent; }
    DWORD BytesReceived() const { return FBytesReceived; }
    DWORD TotalBytesReceived() const { return FTotalBytesReceived; }
    DWORD ChunkPosition() const { return FChunkPosition; }
    DWORD ChunkSize() const { return FChunkSize; }
    DWORD BytesRead() const { return FBytesRead; }
    std::string RedirectURL() const;
    LPVOID StatusInfo() const { return FStatusInfo; }
    DWORD StatusInfoLength() const { return FStatusInfoLength; }
    bool Busy() const { return FBusy; }
    // The body length the response announced (its Content-Length), or UnknownContentLength
    // when it announced none (a chunked body, a body that ends when the connection closes) or
    // no response head has arrived. Known from OnDataAvailable's first chunk on, for progress.
    static constexpr std::int64_t UnknownContentLength = -1;
    std::int64_t ContentLength() const;
    // The value of one header of the last response, the name matched regardless of case, with
    // the blanks around it removed; an empty string when the response has no such header.
    // A header sent more than once gives its values joined by ", ".
    std::string ResponseHeader(const std::string& name) const;
    // When true, the component frees itself later, as PostRelease does, once a request has
    // ended: after its request handle has closed and the request's last event (OnRequestComplete,
    // or OnError when it failed) has been delivered. Raises EInetError, as PostRelease, when the
    // component can't be freed later.
    bool ReleaseOnClose() const { return FReleaseOnClose; }
    void SetReleaseOnClose(bool release);
    // Manual-reset event, signalled when a request's handles have closed (its body read, or the
    // request abandoned) and when an asynchronous send fails; OnRequestComplete may still be on
    // its way then. The component never resets it: ResetEvent before each Execute. Waiting on it
    // on the widget owner's own thread never ends before the wait's time-out when handlers are
    // assigned, because the events the request needs are queued to that very thread: let the
    // event loop run instead, as shown at the top of this file.
    HANDLE CompletionEvent() const { return FCompletionEvent; }
    // The request flags computed from InternetFlags.
    DWORD RequestFlags() const { return FRequestFlags; }

    // Starts a request for Method, HostName, Port, URLPath and ExtraInfo. True: the whole
    // request runs on this thread. False only after a failure with RaiseExceptions false;
    // with it true the failure is raised. After false, the calling thread's last error
    // (GetLastError()) tells why:
    //   ERROR_BUSY  the start was refused because a request is running; that request and every
    //               value, LastError included, are left alone (LastError may well read 0);
    //   otherwise   the request failed, and the code equals LastError.
    // A handler that raises in the middle of a request (a status event, OnNeedAuth,
    // OnNeedProxyAuth, OnDataAvailable) stops it as cancelled: LastError 12017 and OnError, and
    // no OnRequestComplete. In synchronous mode the handler's own exception then reaches the
    // caller here, or Execute returns false with RaiseExceptions false; in asynchronous mode
    // there is no caller to reach, and LastError and OnError are how it is told.
    [[nodiscard]] bool Execute(bool synchronous);
    // Ends the running request, synchronous or asynchronous, from any thread or from one of the
    // component's handlers, at once even when the server sends nothing: a call blocked in the
    // library returns. The request ends as cancelled, never as a success: LastError 12017
    // (ERROR_INTERNET_OPERATION_CANCELLED), OnError, no OnRequestComplete, and a synchronous
    // Execute raises its EInetError (or returns false with RaiseExceptions false). Busy() is
    // false and the component ready for the next request once the request has ended: when
    // Execute returns, or, asynchronously, when OnError has been delivered. Nothing happens
    // when no request runs. Don't call it while the component is being freed.
    void Cancel();

    // Delivers one event with this component as sender: through the notification window when
    // the owner is windowed, else by a direct call. Nothing once destruction has begun.
    void FireEvent(const TNotifyEvent& handler);
    // Frees this component later, whatever its owner: a windowed owner's component through the
    // notification window, any other from the event loop of the thread it belongs to (the one
    // that created it), and in either case never while one of its handlers runs there. This is
    // how a handler ends its own component: freeing it inside one of its handlers would pull it
    // from under the request that fired the event, and the program stops with a message saying
    // so. Where that can't be done, because the component's thread has no event loop to free it
    // from, it fails loudly: EInetError, and the component stays the caller's to free.
    void PostRelease();
    // The message for an error code: the Internet library's text (the system's for a code it
    // doesn't know); for 12003 followed by the server's extended error.
    std::string ErrorText(DWORD code) const;

    // Events, in published order.
    TNotifyEvent OnClosingConnection;
    TNotifyEvent OnConnectedToServer;
    TNotifyEvent OnConnectingToServer;
    TNotifyEvent OnConnectionClosed;
    TNotifyEvent OnIntermediateResponse;
    TNotifyEvent OnNameResolved;
    TNotifyEvent OnReceivingResponse;
    TNotifyEvent OnResponseReceived;
    TNotifyEvent OnRedirect;
    TNotifyEvent OnRequestComplete;
    TNotifyEvent OnRequestSent;
    TNotifyEvent OnResolvingName;
    TNotifyEvent OnSendingRequest;
    TNotifyEvent OnStateChange;
    TNotifyEvent OnDataAvailable;
    TNotifyEvent OnNeedAuth;
    TNotifyEvent OnNeedProxyAuth;
    TNotifyEvent OnError;

    // Limits of this component's buffers.
    static constexpr std::size_t MaxAcceptTypes = 100;
    static constexpr DWORD RawHeadersSize = 8192;
    static constexpr DWORD ChunkReadSize = 16384;
    static constexpr std::size_t ChunkBufferSize = ChunkReadSize + 1;
    static constexpr DWORD CombinedUrlSize = 2055;
    // The response body is kept in memory; a body past this ends the request with an error.
    static constexpr std::size_t MaxResponseBodySize = std::size_t{512} * 1024 * 1024;

private:
    friend struct TAdvHttpStatusProbe; // tests feed notifications straight in

    // What the status of a response asks for, and how an answer to a challenge went.
    enum class TStatusOutcome { Failed, Content, Challenge };
    enum class TAuthOutcome { Failed, Ended, Resent };

    // The request, step by step. Each step says whether the request goes on; one that fails has
    // recorded why (LastError, OnError and the failure Execute may raise) before it returns false.
    [[nodiscard]] bool EnsureCompletionEvent();
    void StartRequest(bool synchronous);
    [[nodiscard]] bool EnsureInternetHandle();
    [[nodiscard]] bool OpenInternet();
    void ReopenInternet();
    [[nodiscard]] bool Connect();
    [[nodiscard]] bool OpenRequest();
    [[nodiscard]] bool SendRequest();
    [[nodiscard]] bool ProcessResponse();
    TStatusOutcome CheckAuthentication();
    TAuthOutcome AnswerAuthentication();
    [[nodiscard]] bool RecordCancel();
    void EndCancelledWithoutWorker();
    bool AskForCredentials();
    [[nodiscard]] bool AbandonRequest();
    [[nodiscard]] bool ReadResponse();
    [[nodiscard]] bool ReadHeaders();
    [[nodiscard]] bool ReadBody();
    void ReserveForBody();
    [[nodiscard]] bool ReadChunks();
    [[nodiscard]] bool AppendChunk(DWORD count);
    [[nodiscard]] bool CompleteRequest();
    void CloseRequest();
    void CloseRequestHandle(HINTERNET request, bool closedByCancel);
    void WaitForClosingNotification();
    void RequestHandleClosing(HINTERNET request);
    bool CloseInternet();
    bool CloseInternetHandle();

    // Failures. Fail and CheckResult record one; Failed (a start) and RaiseFailure (a property
    // write) hand it to the caller; Guarded lets a step's failure pass as RaiseExceptions says.
    [[nodiscard]] bool CheckResult(bool succeeded);
    [[nodiscard]] bool SetErrorCode(DWORD code);
    bool Fail(DWORD code, const std::string& message);
    bool Fail(DWORD code);
    bool Failed(std::exception_ptr failure, DWORD reason);
    [[noreturn]] void RaiseFailure();
    [[nodiscard]] bool Guarded(bool succeeded);
    void KeepFailure(std::exception_ptr failure);
    std::exception_ptr TakeFailure();
    void RecordFromNotification(DWORD code);

    // URL and its parts (uAdvHttpUrl.cpp).
    [[nodiscard]] bool SplitURL(const std::string& url);
    [[nodiscard]] bool BuildURL();
    std::int32_t DefaultPort() const;
    template <class Value> void SetURLPart(Value& part, Value value);

    // Credentials set on the open connection; a layout read that leaves a value as it is
    // (uAdvHttpStreaming.cpp).
    void SetConnectionOption(DWORD option, const std::string& value);
    bool SkipWhileLoading(bool unchanged) const;

    // Freeing later. While a TRequestInHand lives, a request of this component is in hand on its
    // thread (inside Execute, or on the worker): a release asked for meanwhile waits for the last
    // one to go.
    class TRequestInHand {
    public:
        explicit TRequestInHand(TAdvHttp& component);
        ~TRequestInHand();
        TRequestInHand(const TRequestInHand&) = delete;
        TRequestInHand& operator=(const TRequestInHand&) = delete;

    private:
        TAdvHttp& m_component;
    };
    [[nodiscard]] bool CanReleaseLater() const;
    void AskForRelease();
    void ReleaseLater();

    // Status notifications and the worker.
    static void StatusCallback(HINTERNET internet, DWORD_PTR context, DWORD status, LPVOID information,
                               DWORD informationLength);
    void HandleStatus(DWORD status, LPVOID information, DWORD informationLength);
    void RequestCompleted(LPVOID information, DWORD informationLength);
    bool HandOverCompletion(bool succeeded, DWORD error);
    void StartWorker(std::unique_lock<std::mutex>& lock);
    static DWORD WorkerThreadProc(LPVOID parameter);
    void RunWorker();
    bool WaitForPendingRead();
    bool TakeNextResponse();
    void WaitForWorker(HANDLE worker);
    void WaitForDeliveries();
    // Delivery to the component's own thread (TEventThread::Own), and the waits on the thread
    // that takes deliveries, which serve those sent to it meanwhile.
    struct TOwnThreadDelivery;
    [[nodiscard]] bool DeliversToOwnThread() const;
    void DeliverOnOwnThread(const TNotifyEvent& handler);
    void ServeOwnThreadDeliveries();
    [[nodiscard]] bool OnDeliveryThread() const;
    void ServeDeliveries();

    // Handlers that raise. FireCaught is the one place the request's own thread takes a
    // handler's exception; a status event's, raised on the library's thread, is kept until the
    // request's thread looks (CheckHandlers).
    std::exception_ptr FireCaught(const TNotifyEvent& handler);
    [[nodiscard]] bool Deliver(const TNotifyEvent& handler);
    [[nodiscard]] bool FireRequestEvent(const TNotifyEvent& handler);
    bool CancelForHandler(std::exception_ptr raised);
    [[nodiscard]] bool CheckHandlers();
    void KeepHandlerFailure(std::exception_ptr failure);
    void DropHandlerFailure();

    // Published values.
    std::int32_t FConnectTimeout = 30000;
    bool FRaiseExceptions = true;
    std::string FUserAgent;
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
    std::string FHostName;
    bool FDefaultUi = true;
    TStringList FRequestHeaders;
    TStringList FAcceptTypes;
    std::string FMethod;
    std::string FRequestBody;
    std::int32_t FAuthRetries = 3;
    TInternetFlags FInternetFlags;
    DWORD FRequestFlags = 0;
    DWORD FReceiveTimeout = 0; // 0: the library's
    std::atomic<TEventThread> FEventThread{TEventThread::Firing};

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
    std::atomic<bool> FCancelRequested{false};
    bool FRequestClosedByCancel = false; // guarded by FCancelLock
    std::atomic<bool> FCancelRecorded{false};
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
    std::atomic<bool> FAbort{false};
    bool FUseWindow = false;
    HANDLE FCompletionEvent = nullptr; // empty when it couldn't be made: the next start tries again
    // Events on their way to the window. A delivery counts itself before it looks at the
    // destroying state, so the destructor either sees it here or it sees the state and stops.
    std::atomic<int> FDeliveriesInFlight{0};
    // Events on their way to the component's own thread (TEventThread::Own), oldest first.
    std::mutex FOwnThreadLock;
    std::condition_variable FOwnThreadDone;
    std::vector<TOwnThreadDelivery*> FOwnThreadQueue; // guarded by FOwnThreadLock
    std::mutex FFailureLock;
    // The recorded failure of the current request (or property write): what Execute raises when
    // RaiseExceptions says so, or what a property write raises.
    std::exception_ptr FFailure; // guarded by FFailureLock
    // A status event's handler that raised inside a library call, on whatever thread: kept here
    // and taken by the thread that runs the request at its next step, never thrown through the
    // library.
    std::exception_ptr FHandlerFailure; // guarded by FFailureLock
    // A handler raised in the middle of the current request, which stopped as cancelled.
    std::atomic<bool> FCancelledByHandler{false};

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
