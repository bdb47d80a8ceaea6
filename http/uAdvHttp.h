/// @file
/// The HTTP component TAdvHttp, its error EInetError, and where its events run (TEventThread).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Exception.h"
#include "TComponent.h"
#include "TInternetFlags.h"
#include "TStringList.h"
#include "dorvane_http_export.h"
#include "errhandlingapi.h" // GetLastError: why Execute refused to start
#include "synchapi.h"       // WaitForSingleObject, ResetEvent: waiting on CompletionEvent
#include "wininet.h"

/// The component's error: a message text only. Every failed library call of a request, and every
/// failed write of URL or one of its parts, becomes one (see TAdvHttp::Execute, TAdvHttp::SetURL).
class DORVANE_HTTP_EXPORT EInetError : public Exception {
public:
    using Exception::Exception; ///< An error with a message, as Exception.
};

/// Where the events of a component without a widget owner run (a widget owner's always run on
/// the notification window's thread).
enum class TEventThread {
    /// On the thread that fires them: the caller's inside a synchronous request, the library's
    /// and the worker's in an asynchronous one.
    Firing,
    /// On the thread the component belongs to (the one that created it), through that thread's
    /// event loop: a program without widgets gets its events where it made the component.
    Own,
};

/// A non-visual component that performs one HTTP request at a time through the Internet client
/// library, turns the library's status notifications into events, and reports failures as
/// LastError, OnError and EInetError.
///
/// @code
/// auto* http = new TAdvHttp(form);          // a windowed owner: events arrive on its thread
/// http->SetRaiseExceptions(false);
/// http->SetURL("http://example.test/make_login.asp?userlogin=alice");
/// if (http->Execute(true))                  // the whole request, on this thread
///     use(http->Text());
/// @endcode
///
/// Execute(false) returns once the request is sent; the response is processed on a worker
/// thread and OnRequestComplete tells when it is over. No status event (OnReceivingResponse,
/// OnConnectionClosed, ...) follows the end of a request.
///
/// Threads. Events of a component whose owner is a widget run on the thread that made the first
/// such component (the program's main thread): the request's threads wait for it to take them.
/// That thread must therefore not block while it waits for an asynchronous request to end:
/// waiting on CompletionEvent there, without letting events in, lasts until the wait times out.
/// Let the event loop run instead, until a handler says the request is over:
///
/// @code
/// QEventLoop loop;
/// http->OnRequestComplete = [&](TObject*) { loop.quit(); };
/// http->OnError = [&](TObject*) { loop.quit(); };  // a failed request ends without OnRequestComplete
/// if (http->Execute(false))                         // false: it failed to start (see Execute)
///     loop.exec();                                  // the request's events come in here
/// @endcode
///
/// Events of any other component (no owner, or an owner that is not a widget) run on the
/// request's own threads, and a plain wait on CompletionEvent serves; or, with
/// SetEventThread(TEventThread::Own), on the thread that made the component, through its event
/// loop, as for a widget owner.
///
/// Endings. Freeing the owner, or the component, at any moment of a request is safe: the
/// request stops, and no handler of the component (or of any component of a freed owner) runs
/// once that has begun. A handler must not free its own component, directly or with its owner,
/// nor may code that runs while the handler waits on its thread (a message box's event loop),
/// nor may handlers free each other's components (they would wait for each other for ever): the
/// program stops with a message saying so. It calls PostRelease() instead, or the component
/// frees itself with ReleaseOnClose. A handler that raises stops the request: see Execute.
/// Cancel() ends a running request from anywhere.
class DORVANE_HTTP_EXPORT TAdvHttp : public TComponent {
    Q_OBJECT
public:
    /// The start value of InternetFlags.
    static constexpr TInternetFlags DefaultInternetFlags{ifIgnoreCertCnInvalid, ifIgnoreCertDateInvalid,
                                                         ifIgnoreRedirectToHttp, ifIgnoreRedirectToHttps,
                                                         ifKeepConnection, ifNoUi, ifReload};
    /// The start value of HostName: the loopback name of this machine.
    static constexpr const char* LoopbackHostName = "localhost";
    /// The start value of UserAgent.
    static constexpr const char* DefaultUserAgent = "Tarnwick WinInet Component";

    /// Makes a component owned by owner, which frees it (nullptr: the caller frees it). Events
    /// of a component whose owner is a widget run on the notification window's thread; see the
    /// class description. Every property holds its start value; URL is empty.
    explicit TAdvHttp(QObject* owner);
    /// Stops a running request (no handler runs from here on), waits for its threads and closes
    /// every handle. Never call it from one of the component's own handlers: use PostRelease.
    ~TAdvHttp() override;
    TAdvHttp(const TAdvHttp&) = delete;            ///< A component is not copied.
    TAdvHttp& operator=(const TAdvHttp&) = delete; ///< A component is not copied.

    /// "TAdvHttp", the class name a layout names.
    std::string ClassName() const override;
    /// Name and Tag, then the published properties below, in streaming order, with their streamed
    /// defaults; the layout reader and writer go through these.
    std::vector<TPropertyInfo> PublishedProperties() override;

    /// @name Published properties, in streaming order
    /// Each getter is documented with its setter beside it.
    ///@{
    /// ConnectTimeout: milliseconds allowed for connecting to the server (start value 30000);
    /// applied at the next request.
    std::int32_t ConnectTimeout() const;
    /// Sets ConnectTimeout.
    void SetConnectTimeout(std::int32_t milliseconds);
    /// RaiseExceptions: true (the start value) lets a request's failure reach the caller of
    /// Execute as EInetError; false makes Execute return false instead. Failures of URL writes
    /// always raise.
    bool RaiseExceptions() const;
    /// Sets RaiseExceptions.
    void SetRaiseExceptions(bool raise);
    /// UserAgent: the agent text sent with every request (start value DefaultUserAgent).
    const std::string& UserAgent() const;
    /// Sets UserAgent; an open Internet handle is closed and opened again with the new agent (a
    /// running request keeps its handles, and the next start reopens it). An agent holding a
    /// control character fails the next request, as SetRequestHeaders says.
    void SetUserAgent(const std::string& agent);
    /// Proxy: the proxy server ("host:port") every request goes through; empty (the start value)
    /// for the system's setting.
    const std::string& Proxy() const;
    /// Sets Proxy; as SetUserAgent, an open Internet handle is opened again.
    void SetProxy(const std::string& proxy);
    /// SSL: true for https requests (start value false).
    bool SSL() const;
    /// Sets SSL, then rebuilds URL from its parts.
    void SetSSL(bool ssl);
    /// URL: the target of the next request as one text; empty until a URL or a part is written.
    const std::string& URL() const;
    /// Splits url into SSL, HostName, Port, URLPath and ExtraInfo (and UserName and Password
    /// when it carries them); URL then reads back as written. An http or https URL only:
    /// another scheme raises Exception "Invalid protocol", a text without one EInetError, in
    /// both cases whatever RaiseExceptions says, and URL keeps its previous text.
    void SetURL(const std::string& url);
    /// URLPath: the path of the target ("/x/y.asp"), decoded.
    const std::string& URLPath() const;
    /// Sets URLPath and rebuilds URL; raises EInetError, and keeps the old path, when the URL
    /// can't be built.
    void SetURLPath(const std::string& path);
    /// ExtraInfo: the query and fragment of the target ("?a=1"), decoded.
    const std::string& ExtraInfo() const;
    /// Sets ExtraInfo, with "?" put in front of a value that begins with neither "?" nor "#",
    /// and rebuilds URL; raises as SetURLPath.
    void SetExtraInfo(const std::string& extraInfo);
    /// Port: the server's port (start value 80).
    std::int32_t Port() const;
    /// Sets Port and rebuilds URL; a port outside 0 to 65535 raises EInetError.
    void SetPort(std::int32_t port);
    /// UserName: the user name offered to a server that asks for one (401).
    const std::string& UserName() const;
    /// Sets UserName, on the open connection at once (from OnNeedAuth, for instance).
    void SetUserName(const std::string& userName);
    /// Password: the password offered with UserName.
    const std::string& Password() const;
    /// Sets Password, on the open connection at once.
    void SetPassword(const std::string& password);
    /// ProxyUserName: the user name offered to a proxy that asks for one (407).
    const std::string& ProxyUserName() const;
    /// Sets ProxyUserName; it takes effect when written while a connection is open, as from
    /// OnNeedProxyAuth.
    void SetProxyUserName(const std::string& userName);
    /// ProxyPassword: the password offered with ProxyUserName.
    const std::string& ProxyPassword() const;
    /// Sets ProxyPassword, as SetProxyUserName.
    void SetProxyPassword(const std::string& password);
    /// HostName: the server's name or address (start value LoopbackHostName).
    const std::string& HostName() const;
    /// Sets HostName and rebuilds URL; raises as SetURLPath.
    void SetHostName(const std::string& hostName);
    /// DefaultUi: true (the start value) asks the user for credentials through the library's
    /// credential prompt when the server or proxy asks for them; false leaves it to OnNeedAuth
    /// and OnNeedProxyAuth.
    bool DefaultUi() const;
    /// Sets DefaultUi.
    void SetDefaultUi(bool defaultUi);
    /// RequestHeaders: extra header lines ("Name: value") sent with every request.
    const TStringList& RequestHeaders() const;
    /// Copies the lines of headers into RequestHeaders. A line holding a control character (a
    /// line break, a zero byte; tab is allowed) fails the next request with
    /// ERROR_HTTP_INVALID_HEADER before anything is sent. So does such a character in any other
    /// value that reaches the request head: UserAgent, Proxy, UserName, Password, ProxyUserName,
    /// ProxyPassword and the AcceptTypes lines that are sent; the message names the property.
    /// (URLPath and ExtraInfo go out with such characters encoded.)
    void SetRequestHeaders(const TStringList& headers);
    /// AcceptTypes: the media types the request accepts, at most MaxAcceptTypes; an empty line
    /// ends the list.
    const TStringList& AcceptTypes() const;
    /// Copies the lines of types into AcceptTypes.
    void SetAcceptTypes(const TStringList& types);
    /// Method: the request method (start value "GET"); a method that is no HTTP token fails the
    /// request with ERROR_INVALID_PARAMETER.
    const std::string& Method() const;
    /// Sets Method.
    void SetMethod(const std::string& method);
    /// Reading: the last response body up to its first zero byte, empty after a failed request.
    /// Writing (SetText): the request body sent with every following request.
    std::string Text() const;
    /// The whole body of the last response, zero bytes included (Text stops at the first one).
    /// Read it from OnDataAvailable or once the request is over.
    const std::string& ResponseBody() const;
    /// Sets the request body, sent with every following request, whatever the method, until it
    /// is written again. Reading Text still gives the response.
    void SetText(const std::string& requestBody);
    /// AuthRetries: how many times a request answered 401 or 407 is sent again with new
    /// credentials before it is abandoned with 12017 (start value 3).
    std::int32_t AuthRetries() const;
    /// Sets AuthRetries.
    void SetAuthRetries(std::int32_t retries);
    /// InternetFlags: the request flags as a set (start value DefaultInternetFlags).
    TInternetFlags InternetFlags() const;
    /// Sets InternetFlags and computes RequestFlags from them.
    void SetInternetFlags(TInternetFlags flags);
    ///@}

    /// @name Not published
    /// A layout neither stores nor reads these.
    ///@{
    /// Milliseconds a response may stay silent (before its head, or between two pieces of its
    /// body) before the request fails with ERROR_INTERNET_TIMEOUT; applied at the next request.
    /// 0, the start value, leaves it to the library: 30 s unless the process set another default.
    DWORD ReceiveTimeout() const;
    /// Sets ReceiveTimeout. It also bounds the secure handshake of an https request: a server
    /// that stays silent that long after the connection is made fails the request the same way.
    void SetReceiveTimeout(DWORD milliseconds);
    /// Milliseconds a whole request may take on the network, from its first send until its body
    /// has arrived, redirects and authentication rounds included, before it fails with
    /// ERROR_INTERNET_TIMEOUT: a server that drips its answer can't hold a request for ever.
    /// 0, the start value, sets no such bound. Applied at the next request.
    DWORD RequestTimeout() const;
    /// Sets RequestTimeout.
    void SetRequestTimeout(DWORD milliseconds);
    /// Whether the response body is kept: true (the start value) gathers it in ResponseBody and
    /// Text, up to ResponseBodyLimit. False keeps nothing: each chunk is handed to
    /// OnDataAvailable (read it there with Chunk()) and dropped, so a body of any size takes the
    /// same little memory; ResponseBody and Text stay empty and ResponseBodyLimit doesn't apply.
    /// Applied at the next request.
    ///
    /// @code
    /// QFile file("big.iso");
    /// file.open(QIODevice::WriteOnly);
    /// http->SetKeepResponseBody(false);
    /// http->OnDataAvailable = [&](TObject*) { file.write(http->Chunk().data(), http->Chunk().size()); };
    /// @endcode
    bool KeepResponseBody() const;
    /// Sets KeepResponseBody.
    void SetKeepResponseBody(bool keep);
    /// The most bytes of response body kept in memory (start value MaxResponseBodySize). A kept
    /// body that grows past it ends the request with ERROR_FILE_TOO_LARGE and a message naming
    /// this limit; raise it, or receive the body without keeping it (SetKeepResponseBody).
    /// Applied at the next request.
    std::size_t ResponseBodyLimit() const;
    /// Sets ResponseBodyLimit.
    void SetResponseBodyLimit(std::size_t bytes);
    /// The certificate authorities this component trusts for https: a PEM file, or a folder of
    /// them named by their hashes (as `openssl rehash` makes it). Empty, the start value, keeps
    /// the process's: the system's, or those SSL_CERT_FILE and SSL_CERT_DIR name. Which checks
    /// are made is InternetFlags' say (the start value ignores the name and the dates of the
    /// server's certificate). Applied at the next request.
    const std::string& CertificateAuthorities() const;
    /// Sets CertificateAuthorities.
    void SetCertificateAuthorities(const std::string& fileOrFolder);
    /// The certificate (a PEM file) this component shows a server that asks for one; empty, the
    /// start value, shows none. Its key is ClientKey. Applied at the next request.
    const std::string& ClientCertificate() const;
    /// Sets ClientCertificate.
    void SetClientCertificate(const std::string& file);
    /// The private key (an unencrypted PEM file) of ClientCertificate; empty, the start value,
    /// when the certificate's file holds the key too.
    const std::string& ClientKey() const;
    /// Sets ClientKey.
    void SetClientKey(const std::string& file);
    /// Where events run when the owner is not a widget; TEventThread::Firing to start with. With
    /// TEventThread::Own, a request's events wait until the component's thread takes them from
    /// its event loop, so that thread must let its loop run (QEventLoop, QCoreApplication::exec)
    /// while an asynchronous request is under way, and not block waiting on CompletionEvent.
    TEventThread EventThread() const;
    /// Sets EventThread. Raises EInetError when asked for TEventThread::Own on a thread that runs
    /// no event loop. Takes effect at once; change it only while no request runs.
    void SetEventThread(TEventThread thread);
    ///@}

    /// @name Values that handlers and callers read
    /// Each describes the current request, or the last one once it is over: all are reset (0,
    /// empty) when a request starts, so a request that fails before its answer shows no status,
    /// header or body of an earlier one.
    ///@{
    /// The code of the last failure: a system or Internet error code, 12017 when the request was
    /// cancelled or abandoned; 0 after a call that succeeded.
    DWORD LastError() const;
    /// The HTTP status code of the last response.
    DWORD StatusCode() const;
    /// The raw header block of the last response, one line per entry, the status line first.
    const TStringList& ResponseHeaders() const;
    /// The text of the last name-resolved, connecting or connected notification (the server's
    /// address).
    std::string ServerAddress() const;
    /// The byte count of the last request-sent notification.
    DWORD BytesSent() const;
    /// The byte count of the last response-received notification.
    DWORD BytesReceived() const;
    /// The sum of the response-received byte counts of the current request.
    DWORD TotalBytesReceived() const;
    /// The offset in the response body of the last chunk read (OnDataAvailable), whether the
    /// body is kept or not.
    DWORD ChunkPosition() const;
    /// The byte count of the last chunk appended to the response body (at most ChunkReadSize).
    DWORD ChunkSize() const;
    /// The body bytes read so far in the current request (counted modulo 2^32, as ChunkPosition
    /// is, for a body past 4 GiB).
    DWORD BytesRead() const;
    /// The chunk of the body just read, ChunkSize bytes: valid inside OnDataAvailable only (the
    /// next read reuses its memory), whether the body is kept or not.
    std::string_view Chunk() const;
    /// The URL of the last redirect notification.
    std::string RedirectURL() const;
    /// The information of the last status notification, as the library passed it; valid only
    /// inside the event that it came with.
    LPVOID StatusInfo() const;
    /// The length of StatusInfo.
    DWORD StatusInfoLength() const;
    /// True from the start of Execute until the request has ended: until OnRequestComplete starts
    /// (inside it Busy is false, so its handler may start the next request), or once OnError has
    /// been delivered. A thread that polls Busy therefore never sees the request over before its
    /// last event has come; CompletionEvent tells when that event's handler has returned.
    bool Busy() const;
    /// What ContentLength gives when the response announced no length.
    static constexpr std::int64_t UnknownContentLength = -1;
    /// The body length the response announced (its Content-Length), or UnknownContentLength
    /// when it announced none (a chunked body, a body that ends when the connection closes) or
    /// no response head has arrived. Known from OnDataAvailable's first chunk on, for progress.
    std::int64_t ContentLength() const;
    /// The value of one header of the last response, the name matched regardless of case, with
    /// the blanks around it removed; an empty string when the response has no such header.
    /// A header sent more than once gives its values joined by ", ".
    std::string ResponseHeader(const std::string& name) const;
    /// When true, the component frees itself later, as PostRelease does, once a request has
    /// ended: after its request handle has closed and the request's last event (OnRequestComplete,
    /// or OnError when it failed) has been delivered. False to start with.
    bool ReleaseOnClose() const;
    /// Sets ReleaseOnClose. Raises EInetError, as PostRelease, when the component can't be freed
    /// later.
    void SetReleaseOnClose(bool release);
    /// Manual-reset event, signalled once a request is over: its handles closed (its body read, or
    /// the request abandoned or cancelled) or its asynchronous send failed, and its last event
    /// (OnRequestComplete, or OnError) has returned. A thread that finds it signalled finds Busy
    /// false; the converse does not hold while OnRequestComplete runs. A handler that starts the
    /// next request leaves the signal to that request. The component never resets it: ResetEvent
    /// before each Execute, wait with WaitForSingleObject. Waiting on it on the widget owner's own
    /// thread never ends before the wait's time-out when handlers are assigned, because the
    /// events the request needs are queued to that very thread: let the event loop run instead,
    /// as the class description shows. The component closes it.
    HANDLE CompletionEvent() const;
    /// The request flags computed from InternetFlags.
    DWORD RequestFlags() const;
    ///@}

    /// Starts a request for Method, HostName, Port, URLPath and ExtraInfo. True: the whole
    /// request runs on this thread. False only after a failure with RaiseExceptions false;
    /// with it true the failure is raised. After false, the calling thread's last error
    /// (GetLastError()) tells why:
    /// - ERROR_BUSY: the start was refused because a request is running; that request and every
    ///   value, LastError included, are left alone (LastError may well read 0);
    /// - otherwise the request failed, and the code equals LastError; or, with LastError 0, the
    ///   request completed but the handler of OnRequestComplete raised: 12017
    ///   (ERROR_INTERNET_OPERATION_CANCELLED), and the exception is what RaiseExceptions true raises.
    ///
    /// A handler that raises in the middle of a request (a status event, OnNeedAuth,
    /// OnNeedProxyAuth, OnDataAvailable) stops it as cancelled: LastError 12017 and OnError, and
    /// no OnRequestComplete. In synchronous mode the handler's own exception then reaches the
    /// caller here, or Execute returns false with RaiseExceptions false; in asynchronous mode
    /// there is no caller to reach, and LastError and OnError are how it is told.
    [[nodiscard]] bool Execute(bool synchronous);
    /// Ends the running request, synchronous or asynchronous, from any thread or from one of the
    /// component's handlers, at once even when the server sends nothing: a call blocked in the
    /// library returns. The request ends as cancelled, never as a success: LastError 12017
    /// (ERROR_INTERNET_OPERATION_CANCELLED), OnError, no OnRequestComplete, and a synchronous
    /// Execute raises its EInetError (or returns false with RaiseExceptions false). Busy() is
    /// false and the component ready for the next request once the request has ended: when
    /// Execute returns, or, asynchronously, when OnError has been delivered. Nothing happens
    /// when no request runs. Don't call it while the component is being freed. Called from
    /// another thread during an asynchronous request, it may deliver OnError itself, and then
    /// waits for the events' thread (a widget owner's, or the component's own with
    /// TEventThread::Own) to take it: that thread must not block waiting for the caller.
    void Cancel();

    /// Delivers one event with this component as sender: through the notification window when
    /// the owner is windowed, to the component's thread with TEventThread::Own, else by a direct
    /// call. Nothing once destruction has begun.
    void FireEvent(const TNotifyEvent& handler);
    /// Frees this component later, whatever its owner: a windowed owner's component through the
    /// notification window, any other from the event loop of the thread it belongs to (the one
    /// that created it), and in either case never while one of its handlers runs there. This is
    /// how a handler ends its own component: freeing it inside one of its handlers would pull it
    /// from under the request that fired the event, and the program stops with a message saying
    /// so. Where that can't be done, because the component's thread has no event loop to free it
    /// from, it fails loudly: EInetError, and the component stays the caller's to free.
    void PostRelease();
    /// The message for an error code: the Internet library's text (the system's for a code it
    /// doesn't know); for 12003 followed by the server's extended error.
    std::string ErrorText(DWORD code) const;

    /// @name Events, in published order
    /// Each receives the component as sender and reads the values above; see the class
    /// description for the thread each runs on.
    ///@{
    TNotifyEvent OnClosingConnection;    ///< The connection to the server is closing (StatusInfo).
    TNotifyEvent OnConnectedToServer;    ///< Connected to the server (ServerAddress).
    TNotifyEvent OnConnectingToServer;   ///< Connecting to the server (ServerAddress).
    TNotifyEvent OnConnectionClosed;     ///< The connection to the server closed (StatusInfo).
    TNotifyEvent OnIntermediateResponse; ///< An interim (1xx) answer arrived (StatusInfo).
    TNotifyEvent OnNameResolved;         ///< The server's name was resolved (ServerAddress).
    TNotifyEvent OnReceivingResponse;    ///< Waiting for the server's answer (StatusInfo).
    /// A response head, or a piece of the body, arrived (BytesReceived, TotalBytesReceived).
    TNotifyEvent OnResponseReceived;
    TNotifyEvent OnRedirect;             ///< The request is redirected (RedirectURL).
    /// The request's response was processed: headers and whole body read (every value). Not
    /// after a failed, abandoned or cancelled request.
    TNotifyEvent OnRequestComplete;
    TNotifyEvent OnRequestSent;          ///< The request was sent (BytesSent).
    TNotifyEvent OnResolvingName;        ///< Resolving the server's name (StatusInfo).
    TNotifyEvent OnSendingRequest;       ///< Sending the request (StatusInfo).
    TNotifyEvent OnStateChange;          ///< The connection's state changed (StatusInfo, not decoded).
    /// A chunk of the body was read (Chunk, ChunkPosition, ChunkSize, BytesRead, ContentLength),
    /// and appended to ResponseBody when KeepResponseBody is true.
    TNotifyEvent OnDataAvailable;
    /// The server asks for credentials (StatusCode 401): write UserName and Password here.
    TNotifyEvent OnNeedAuth;
    /// The proxy asks for credentials (StatusCode 407): write ProxyUserName and ProxyPassword here.
    TNotifyEvent OnNeedProxyAuth;
    /// A failure was recorded (LastError, not 0 or 997), before any EInetError is raised.
    TNotifyEvent OnError;
    ///@}

    /// @name Limits of this component's buffers
    ///@{
    static constexpr std::size_t MaxAcceptTypes = 100;  ///< AcceptTypes lines passed on, at most.
    /// A response head is read into this many bytes first, a longer one again at its size (up to
    /// 256 KiB: a longer head is a failure).
    static constexpr DWORD RawHeadersSize = 8192;
    static constexpr DWORD ChunkReadSize = 16384;        ///< The body is read in chunks of this many bytes.
    static constexpr std::size_t ChunkBufferSize = ChunkReadSize + 1; ///< The chunk buffer's size.
    static constexpr DWORD CombinedUrlSize = 2055;       ///< A longer URL can't be built.
    /// The start value of ResponseBodyLimit: a kept body past it ends the request with
    /// ERROR_FILE_TOO_LARGE.
    static constexpr std::size_t MaxResponseBodySize = std::size_t{512} * 1024 * 1024;
    ///@}

private:
    friend struct TAdvHttpStatusProbe; // tests feed notifications straight in

    // Everything else: the request's state, its handles and locks, and the steps
    // (uAdvHttpPrivate.h). Behind one pointer, so the layout of this class stays the same as
    // they change.
    class Private;
    std::unique_ptr<Private> d;
};
