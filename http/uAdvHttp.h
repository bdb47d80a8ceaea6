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

#include <cstdint>
#include <memory>
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
    std::int32_t ConnectTimeout() const;
    void SetConnectTimeout(std::int32_t milliseconds);
    bool RaiseExceptions() const;
    void SetRaiseExceptions(bool raise);
    const std::string& UserAgent() const;
    void SetUserAgent(const std::string& agent);
    const std::string& Proxy() const;
    void SetProxy(const std::string& proxy);
    bool SSL() const;
    void SetSSL(bool ssl);
    const std::string& URL() const;
    void SetURL(const std::string& url);
    const std::string& URLPath() const;
    void SetURLPath(const std::string& path);
    const std::string& ExtraInfo() const;
    void SetExtraInfo(const std::string& extraInfo);
    std::int32_t Port() const;
    void SetPort(std::int32_t port);
    const std::string& UserName() const;
    void SetUserName(const std::string& userName);
    const std::string& Password() const;
    void SetPassword(const std::string& password);
    const std::string& ProxyUserName() const;
    void SetProxyUserName(const std::string& userName);
    const std::string& ProxyPassword() const;
    void SetProxyPassword(const std::string& password);
    const std::string& HostName() const;
    void SetHostName(const std::string& hostName);
    bool DefaultUi() const;
    void SetDefaultUi(bool defaultUi);
    const TStringList& RequestHeaders() const;
    void SetRequestHeaders(const TStringList& headers);
    const TStringList& AcceptTypes() const;
    void SetAcceptTypes(const TStringList& types);
    const std::string& Method() const;
    void SetMethod(const std::string& method);
    // Reading: the last response body up to its first zero byte. Writing: the request body
    // sent with every following request.
    std::string Text() const;
    // The whole body of the last response, zero bytes included (Text stops at the first one).
    // Read it from OnDataAvailable or once the request is over.
    const std::string& ResponseBody() const;
    void SetText(const std::string& requestBody);
    std::int32_t AuthRetries() const;
    void SetAuthRetries(std::int32_t retries);
    TInternetFlags InternetFlags() const;
    void SetInternetFlags(TInternetFlags flags);

    // Not published (a layout neither stores nor reads them).
    // Milliseconds a response may stay silent (before its head, or between two pieces of its
    // body) before the request fails with ERROR_INTERNET_TIMEOUT; applied at the next request.
    // 0, the start value, leaves it to the library: 30 s unless the process set another default.
    DWORD ReceiveTimeout() const;
    void SetReceiveTimeout(DWORD milliseconds);
    // Where events run when the owner is not a widget; TEventThread::Firing to start with. With
    // TEventThread::Own, a request's events wait until the component's thread takes them from
    // its event loop, so that thread must let its loop run (QEventLoop, QCoreApplication::exec)
    // while an asynchronous request is under way, and not block waiting on CompletionEvent.
    // Raises EInetError when asked for Own on a thread that runs no event loop. Takes effect
    // at once; change it only while no request runs.
    TEventThread EventThread() const;
    void SetEventThread(TEventThread thread);

    // Values that handlers and callers read. Each describes the current request, or the last one
    // once it is over: all are reset (0, empty) when a request starts, so a request that fails
    // before its answer shows no status, header or body of an earlier one.
    DWORD LastError() const;
    DWORD StatusCode() const;
    const TStringList& ResponseHeaders() const;
    std::string ServerAddress() const;
    DWORD BytesSent() const;
    DWORD BytesReceived() const;
    DWORD TotalBytesReceived() const;
    DWORD ChunkPosition() const;
    DWORD ChunkSize() const;
    DWORD BytesRead() const;
    std::string RedirectURL() const;
    LPVOID StatusInfo() const;
    DWORD StatusInfoLength() const;
    bool Busy() const;
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
    bool ReleaseOnClose() const;
    void SetReleaseOnClose(bool release);
    // Manual-reset event, signalled when a request's handles have closed (its body read, or the
    // request abandoned) and when an asynchronous send fails; OnRequestComplete may still be on
    // its way then. The component never resets it: ResetEvent before each Execute. Waiting on it
    // on the widget owner's own thread never ends before the wait's time-out when handlers are
    // assigned, because the events the request needs are queued to that very thread: let the
    // event loop run instead, as shown at the top of this file.
    HANDLE CompletionEvent() const;
    // The request flags computed from InternetFlags.
    DWORD RequestFlags() const;

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

    // Everything else: the request's state, its handles and locks, and the steps (uAdvHttpPrivate.h).
    // Behind one pointer, so the layout of this class stays the same as they change.
    class Private;
    std::unique_ptr<Private> d;
};
