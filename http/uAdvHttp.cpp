#include "uAdvHttpPrivate.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstring>
#include <utility>

#include <QAbstractEventDispatcher>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include "TAdvHttpWindow.h"
#include "ascii_text.h"
#include "errhandlingapi.h"
#include "handleapi.h"
#include "libloaderapi.h"
#include "processthreadsapi.h"
#include "synchapi.h"
#include "winbase.h"

namespace {

constexpr const char* CannotReleaseLater =
    "This component can't be freed later: the thread it belongs to runs no event loop; free it yourself "
    "once its request has ended";

constexpr int HeldBackReleaseRetryMs = 10;
// A response head longer than TAdvHttp::RawHeadersSize is asked for again with the size the
// query gives, up to this.
constexpr DWORD MaxResponseHeadSize = 1 << 20;
// How often a delivery waiting for the component's own thread looks whether that thread has ended.
constexpr auto OwnThreadCheckInterval = std::chrono::milliseconds(20);
constexpr DWORD ErrorTextSize = 257;          // 256 offered to the formatter, and the NUL
constexpr DWORD ExtendedErrorTextSize = 4096; // the server's text is cut here
constexpr DWORD CredentialDialogFlags =
    FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA;
constexpr DWORD StatusCodeQuery = HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER;

bool IsError(DWORD code)
{
    return code != ERROR_SUCCESS && code != ERROR_IO_PENDING;
}

// A pending call (asynchronous mode) records nothing: its completion may already have recorded
// the outcome on the library's thread, and 997 written now would overwrite it.
bool IsPending(BOOL result)
{
    return result == FALSE && GetLastError() == ERROR_IO_PENDING;
}

// An HTTP method is a token: letters, digits and a few marks, nothing that could end the line.
bool IsHttpToken(const std::string& text)
{
    if (text.empty())
        return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return byte > 0x20 && byte < 0x7F && std::strchr("\"(),/:;<=>?@[\\]{}", c) == nullptr;
    });
}

// Qt's posted-event queue is guarded by a futex that ThreadSanitizer doesn't see, so what a
// functor carries from the posting thread to the receiving one would look raced. The post and
// the functor's first step both take this lock, which makes the hand-over visible to it.
std::mutex postLock;

template <class Work> void PostTo(QObject* context, Work work)
{
    std::lock_guard lock(postLock);
    QMetaObject::invokeMethod(
        context,
        [work = std::move(work)]() mutable {
            { std::lock_guard handedOver(postLock); }
            work();
        },
        Qt::QueuedConnection);
}

// On the component's own thread. A release that comes while one of its handlers runs there (in
// a nested event loop) waits until the handler has returned.
void ReleaseWhenNoHandlerRuns(QPointer<TAdvHttp> component)
{
    if (component.isNull() || component->InState(csDestroying))
        return;
    if (THandlerScope::Running(component.data())) {
        QTimer::singleShot(HeldBackReleaseRetryMs, QAbstractEventDispatcher::instance(),
                           [component] { ReleaseWhenNoHandlerRuns(component); });
        return;
    }
    delete component.data();
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Construction and destruction

TAdvHttp::TAdvHttp(QObject* owner)
    : TComponent(owner)
    , d(std::make_unique<Private>(this))
{
    d->FUserAgent = DefaultUserAgent;
    d->FRaiseExceptions = true;
    d->FSSL = false;
    d->FMethod = "GET";
    d->FHostName = LoopbackHostName;
    d->FPort = INTERNET_DEFAULT_HTTP_PORT;
    d->FDefaultUi = true;
    d->FConnectTimeout = 30000;
    d->FAuthRetries = 3;
    d->FUseWindow = OwnerIsWindowed();
    d->SetInternetFlags(DefaultInternetFlags);
    if (!InState(csDesigning) && d->FUseWindow)
        TAdvHttpWindow::AddUser();
    // Left empty when it can't be made: the next start tries again, and fails as the system says.
    d->FCompletionEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    TAdvHttpWindow::Register(this);
}

TAdvHttp::~TAdvHttp()
{
    // The request that fired the running handler goes on with this component once the handler
    // returns, and waiting for it here would wait for ever: no way on is safe.
    if (THandlerScope::Running(this))
        qFatal("TAdvHttp: a component was freed inside its own event handler (directly or with its owner); "
               "free it with PostRelease() instead");
    Destroying();
    TAdvHttpWindow::Unregister(this);
    d->WaitForDeliveries(); // before closing: the library's thread may be waiting on one of them
    HANDLE worker = nullptr;
    {
        std::lock_guard lock(d->FWorkerLock);
        d->FAbort = true;
        worker = std::exchange(d->FWorkerThread, nullptr);
        d->FWorkerWake.notify_all();
    }
    if (worker != nullptr) {
        d->WaitForWorker(worker);
        CloseHandle(worker);
    }
    d->CloseInternet();
    if (d->FCompletionEvent != nullptr)
        CloseHandle(d->FCompletionEvent);
    if (!InState(csDesigning) && d->FUseWindow)
        TAdvHttpWindow::RemoveUser();
}

std::string TAdvHttp::ClassName() const
{
    return "TAdvHttp";
}

// ---------------------------------------------------------------------------------------------
// Properties

// Empty once the request has failed: what arrived before the failure is no answer to read.
std::string TAdvHttp::Private::Text() const
{
    if (FEnding == TEnding::Failed)
        return {};
    return std::string(FResponseBody.c_str()); // up to the first zero byte
}

std::string TAdvHttp::Private::ServerAddress() const
{
    std::lock_guard lock(FTextValuesLock);
    return FServerAddress;
}

std::string TAdvHttp::Private::RedirectURL() const
{
    std::lock_guard lock(FTextValuesLock);
    return FRedirectURL;
}

std::string TAdvHttp::Private::ResponseHeader(const std::string& name) const
{
    std::string value;
    // The first line is the status line, which has no name.
    for (std::size_t i = 1; i < FResponseHeaders.Count(); ++i) {
        const std::string& line = FResponseHeaders[i];
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos || !platform::ascii::equalIgnoringCase(std::string_view(line).substr(0, colon), name))
            continue;
        const std::size_t first = line.find_first_not_of(" \t", colon + 1);
        const std::size_t last = line.find_last_not_of(" \t");
        if (!value.empty())
            value += ", ";
        if (first != std::string::npos)
            value += line.substr(first, last - first + 1);
    }
    return value;
}

// Only a plain decimal number within range counts (the library refuses a response with any
// other): a length the server garbled is as good as none.
std::int64_t TAdvHttp::Private::ContentLength() const
{
    const std::string text = ResponseHeader("Content-Length");
    std::int64_t length = 0;
    const char* end = text.data() + text.size();
    if (text.empty() || text.front() < '0' || text.front() > '9')
        return UnknownContentLength;
    const auto [stop, error] = std::from_chars(text.data(), end, length);
    return error == std::errc() && stop == end ? length : UnknownContentLength;
}

void TAdvHttp::Private::SetEventThread(TEventThread thread)
{
    if (thread == TEventThread::Own && QAbstractEventDispatcher::instance(q->thread()) == nullptr)
        throw EInetError("Events can't be delivered to this component's thread: it runs no event loop");
    FEventThread = thread;
}

void TAdvHttp::Private::SetInternetFlags(TInternetFlags flags)
{
    FInternetFlags = flags;
    FRequestFlags = RequestFlagsOf(flags);
}

void TAdvHttp::Private::SetUserAgent(const std::string& agent)
{
    FUserAgent = agent;
    ReopenInternet();
}

void TAdvHttp::Private::SetProxy(const std::string& proxy)
{
    FProxy = proxy;
    ReopenInternet();
}

// The Internet handle carries the agent and the proxy, so a change reopens it at once; a
// running request keeps its handles (a worker may be reading from them) and the next start
// reopens it instead.
void TAdvHttp::Private::ReopenInternet()
{
    if (FInternet == nullptr)
        return;
    if (Busy()) {
        FInternetOutdated = true;
        return;
    }
    TPropertyWrite writing(*this);
    CloseInternet();
    // Without RaiseExceptions the failure stays recorded (LastError, OnError), and the next
    // start opens the handle again.
    if (!OpenInternet() && FRaiseExceptions)
        RaiseFailure();
}

void TAdvHttp::Private::SetUserName(const std::string& userName)
{
    FUserName = userName;
    SetConnectionOption(INTERNET_OPTION_USERNAME, FUserName);
}

void TAdvHttp::Private::SetPassword(const std::string& password)
{
    FPassword = password;
    SetConnectionOption(INTERNET_OPTION_PASSWORD, FPassword);
}

void TAdvHttp::Private::SetProxyUserName(const std::string& userName)
{
    FProxyUserName = userName;
    SetConnectionOption(INTERNET_OPTION_PROXY_USERNAME, FProxyUserName);
}

void TAdvHttp::Private::SetProxyPassword(const std::string& password)
{
    FProxyPassword = password;
    SetConnectionOption(INTERNET_OPTION_PROXY_PASSWORD, FProxyPassword);
}

void TAdvHttp::Private::SetConnectionOption(DWORD option, const std::string& value)
{
    if (FConnect == nullptr)
        return;
    InternetSetOptionA(FConnect, option, const_cast<char*>(value.data()), static_cast<DWORD>(value.size()));
}

// ---------------------------------------------------------------------------------------------
// The request

bool TAdvHttp::Private::Execute(bool synchronous)
{
    TRequestInHand inHand(*this);
    // The running request and every value, LastError included, are left alone: the reason goes
    // to the calling thread's last error instead, a code no request records.
    if (Busy())
        return Failed(std::make_exception_ptr(EInetError(
                          "A request is already running on this component; start the next one when it has ended")),
                      ERROR_BUSY);
    // A component about to be freed would be freed under the new request, which would end with
    // no event at all.
    if (FReleasePending)
        return Failed(std::make_exception_ptr(EInetError(
                          "This component is being freed (ReleaseOnClose or PostRelease); it takes no new request")),
                      ERROR_BUSY);
    CloseRequest(); // a failed asynchronous request leaves its handles to the next start
    const std::uint64_t request = StartRequest(synchronous);
    const bool started = EnsureCompletionEvent() && EnsureInternetHandle() && Connect() && OpenRequest() &&
                         SendRequest();
    if (started && !synchronous)
        return true; // the worker, a failed completion or Cancel ends it
    // Synchronously the request ends here, whichever way: it completed exactly when its response
    // was read whole and OnRequestComplete delivered.
    const bool completed = started && ProcessResponse() == TProgress::Completed;
    if (!completed)
        CloseRequest();
    std::exception_ptr failure = completed ? nullptr : TakeFailure();
    const DWORD reason = FLastError;
    EndRequest(request);
    if (completed)
        return true;
    if (!failure && FRaiseExceptions)
        failure = std::make_exception_ptr(EInetError(ErrorText(reason)));
    return Failed(failure, reason);
}

// A component whose event couldn't be made when it was built tries again: whoever waits for a
// request's end waits on it.
bool TAdvHttp::Private::EnsureCompletionEvent()
{
    if (FCompletionEvent != nullptr)
        return true;
    FCompletionEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return CheckResult(FCompletionEvent != nullptr) && FCompletionEvent != nullptr;
}

std::uint64_t TAdvHttp::Private::StartRequest(bool synchronous)
{
    FModeFlags = synchronous ? 0 : INTERNET_FLAG_ASYNC;
    FAbort = false;
    FSecureFlag = FSSL ? INTERNET_FLAG_SECURE : 0;
    // Nothing of the last response survives the start of the next one: a request that fails
    // before its answer must not read as if the old answer were its own.
    FLastError = ERROR_SUCCESS;
    FStatusCode = 0;
    FResponseHeaders.Clear();
    {
        std::lock_guard lock(FTextValuesLock);
        FServerAddress.clear();
        FRedirectURL.clear();
    }
    FStatusInfo = nullptr;
    FStatusInfoLength = 0;
    FBytesSent = 0;
    FTotalBytesReceived = 0;
    FBytesRead = 0;
    FBytesReceived = 0;
    FChunkPosition = 0;
    FChunkSize = 0;
    FResponseBody.clear();
    FKeepingBody = FKeepResponseBody;
    FBodyLimit = FResponseBodyLimit;
    DropHandlerFailure();
    static_cast<void>(TakeFailure());
    std::uint64_t request = 0;
    {
        std::lock_guard lock(FEndLock);
        request = ++FRequestNumber;
        FRequestOver = false;
    }
    {
        std::lock_guard lock(FCancelLock);
        FCancelRequested = false;
        FCancelRecorded = false;
        FStopCode = ERROR_INTERNET_OPERATION_CANCELLED;
        FEnding = TEnding::Open;
        FBusy = true;
    }
    return request;
}

std::uint64_t TAdvHttp::Private::CurrentRequest()
{
    std::lock_guard lock(FEndLock);
    return FRequestNumber;
}

void TAdvHttp::Private::EndRequest(std::uint64_t request)
{
    {
        std::lock_guard lock(FEndLock);
        if (request != FRequestNumber || FRequestOver)
            return;
        FRequestOver = true;
        FBusy = false;
    }
    SetEvent(FCompletionEvent);
    if (FReleaseOnClose)
        AskForRelease(); // held back while the request is still in hand on this thread
}

// A handle opened in the other mode would never complete this request's way (a synchronous
// handle gives no completions to an asynchronous request), so it is reopened.
bool TAdvHttp::Private::EnsureInternetHandle()
{
    if (FInternet != nullptr && (FInternetModeFlags != FModeFlags || FInternetOutdated))
        CloseInternetHandle(); // the request's own handles were closed before the start
    return FInternet != nullptr || OpenInternet();
}

bool TAdvHttp::Private::OpenInternet()
{
    const DWORD mode = FModeFlags;
    if (FProxy.empty())
        FInternet = InternetOpenA(FUserAgent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, mode);
    else
        FInternet = InternetOpenA(FUserAgent.c_str(), INTERNET_OPEN_TYPE_PROXY, FProxy.c_str(), nullptr, mode);
    if (!CheckResult(FInternet != nullptr))
        return false;
    FInternetModeFlags = mode;
    FInternetOutdated = false;
    InternetSetStatusCallback(FInternet, StatusCallback);
    return true;
}

bool TAdvHttp::Private::Connect()
{
    FConnect = InternetConnectA(FInternet, FHostName.c_str(), static_cast<INTERNET_PORT>(FPort), nullptr, nullptr,
                                INTERNET_SERVICE_HTTP, 0, 0);
    if (!CheckResult(FConnect != nullptr))
        return false;
    DWORD timeout = static_cast<DWORD>(FConnectTimeout);
    InternetSetOptionA(FConnect, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof(timeout));
    DWORD receiveTimeout = FReceiveTimeout;
    if (receiveTimeout != 0)
        InternetSetOptionA(FConnect, INTERNET_OPTION_RECEIVE_TIMEOUT, &receiveTimeout, sizeof(receiveTimeout));
    DWORD requestTimeout = FRequestTimeout;
    if (requestTimeout != 0)
        InternetSetOptionA(FConnect, INTERNET_OPTION_REQUEST_TIMEOUT, &requestTimeout, sizeof(requestTimeout));
    SetCertificateOptions();
    return true;
}

// The component's own certificates, where it has them; the process's otherwise.
void TAdvHttp::Private::SetCertificateOptions()
{
    const std::pair<DWORD, std::string*> files[] = {
        {INTERNET_OPTION_CA_CERTIFICATES, &FCertificateAuthorities},
        {INTERNET_OPTION_CLIENT_CERTIFICATE_FILE, &FClientCertificate},
        {INTERNET_OPTION_CLIENT_KEY_FILE, &FClientKey},
    };
    for (const auto& [option, file] : files) {
        if (!file->empty())
            InternetSetOptionA(FConnect, option, file->data(), static_cast<DWORD>(file->size()));
    }
}

bool TAdvHttp::Private::OpenRequest()
{
    if (!IsHttpToken(FMethod))
        return Fail(ERROR_INVALID_PARAMETER, "The request method '" + FMethod + "' is not a valid HTTP method");
    std::string objectPath = FURLPath + FExtraInfo;
    // The library reads the list up to the first empty entry, so an empty line ends it.
    std::array<LPCSTR, MaxAcceptTypes + 1> acceptTypes{};
    for (std::size_t i = 0; i < FAcceptTypes.Count() && i < MaxAcceptTypes; ++i) {
        if (!FAcceptTypes[i].empty())
            acceptTypes[i] = FAcceptTypes[i].c_str();
    }
    LPCSTR* accept = FAcceptTypes.Text().empty() ? nullptr : acceptTypes.data();
    // The request gets the component as its context, so its notifications reach us.
    HINTERNET request = HttpOpenRequestA(FConnect, FMethod.c_str(), objectPath.c_str(), nullptr, nullptr, accept,
                                         FRequestFlags | FSecureFlag, reinterpret_cast<DWORD_PTR>(this));
    {
        std::lock_guard lock(FCancelLock);
        FRequest = request;
    }
    FNotifiedRequest = FRequest;
    if (!CheckResult(FRequest != nullptr))
        return false;
    FAuthAttempts = 0;
    SetUserName(FUserName);
    SetPassword(FPassword);
    FCredentialsSent = CredentialsInForce();
    return true;
}

bool TAdvHttp::Private::SendRequest()
{
    if (!CheckRequestHead())
        return false;
    std::string headers;
    if (FRequestHeaders.Count() > 0)
        headers = FRequestHeaders.Text() + "\r\n";
    LPCSTR headerText = headers.empty() ? nullptr : headers.c_str();
    LPVOID body = FRequestBody.empty() ? nullptr : FRequestBody.data();
    BOOL sent = HttpSendRequestA(FRequest, headerText, static_cast<DWORD>(headers.size()), body,
                                 static_cast<DWORD>(FRequestBody.size()));
    // Asynchronous mode: pending, and the request-complete notification tells how it went.
    return IsPending(sent) || CheckResult(sent != FALSE);
}

// Every value that reaches the request head, checked before each send (a handler may have
// written credentials since the last one). A control byte in one, a line break above all, would
// end its line and start one the caller never wrote: a value taken from user input could smuggle
// a header in. The path and extra information are no such values: the request encodes their
// control bytes. Tab is the one control byte a header value may hold.
bool TAdvHttp::Private::CheckRequestHead()
{
    const auto holdsControlByte = [](const std::string& value) {
        return std::any_of(value.begin(), value.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return (byte < 0x20 && c != '\t') || byte == 0x7F;
        });
    };
    const auto refuse = [this](const std::string& what) {
        return Fail(ERROR_HTTP_INVALID_HEADER, what + " holds a control character (a line break, for instance), "
                                                      "which would end its line in the request head");
    };
    const std::pair<const char*, const std::string*> values[] = {
        {"UserAgent", &FUserAgent},         {"Proxy", &FProxy},
        {"UserName", &FUserName},           {"Password", &FPassword},
        {"ProxyUserName", &FProxyUserName}, {"ProxyPassword", &FProxyPassword},
    };
    for (const auto& [name, value] : values) {
        if (holdsControlByte(*value))
            return refuse(name);
    }
    // The accept types that go out: those before the first empty line.
    for (std::size_t i = 0; i < FAcceptTypes.Count() && i < MaxAcceptTypes && !FAcceptTypes[i].empty(); ++i) {
        if (holdsControlByte(FAcceptTypes[i]))
            return refuse("AcceptTypes line " + std::to_string(i + 1));
    }
    for (std::size_t i = 0; i < FRequestHeaders.Count(); ++i) {
        if (holdsControlByte(FRequestHeaders[i]))
            return refuse("RequestHeaders line " + std::to_string(i + 1));
    }
    return true;
}

// Examine the status, answer authentication, read the response. In synchronous mode an
// authentication re-send is answered by the next round of this loop; in asynchronous mode its
// completion comes back to the worker (Resent). A failure is recorded before the request closes.
TAdvHttp::Private::TProgress TAdvHttp::Private::ProcessResponse()
{
    for (;;) {
        switch (CheckAuthentication()) {
        case TStatusOutcome::Failed:
            CloseRequest();
            return EndUnread();
        case TStatusOutcome::Content:
            return ReadResponse();
        case TStatusOutcome::Challenge:
            break;
        }
        switch (AnswerAuthentication()) {
        case TAuthOutcome::Failed:
            CloseRequest();
            return EndUnread();
        case TAuthOutcome::Resent:
            if (FModeFlags != 0)
                return TProgress::Resent;
            break;
        }
    }
}

// A status event's handler that raised, or a status query that failed, stops the request.
TAdvHttp::Private::TStatusOutcome TAdvHttp::Private::CheckAuthentication()
{
    DWORD status = 0;
    DWORD length = sizeof(status);
    DWORD index = 0;
    BOOL queried = HttpQueryInfoA(FRequest, StatusCodeQuery, &status, &length, &index);
    if (!CheckResult(queried != FALSE) || !queried)
        return TStatusOutcome::Failed;
    FStatusCode = status;
    if (status == 401)
        return FireRequestEvent(q->OnNeedAuth) ? TStatusOutcome::Challenge : TStatusOutcome::Failed;
    if (status == 407)
        return FireRequestEvent(q->OnNeedProxyAuth) ? TStatusOutcome::Challenge : TStatusOutcome::Failed;
    return TStatusOutcome::Content;
}

// The request goes again only with credentials it has not been refused with: those a handler
// of OnNeedAuth or OnNeedProxyAuth wrote, or the credential prompt's (DefaultUi), at most
// AuthRetries times.
TAdvHttp::Private::TAuthOutcome TAdvHttp::Private::AnswerAuthentication()
{
    if (FAbort) // being destroyed: nothing is sent any more
        return TAuthOutcome::Failed;
    const bool newCredentials = CredentialsInForce() != FCredentialsSent || (FDefaultUi && AskForCredentials());
    if (FAuthAttempts >= FAuthRetries || !newCredentials)
        return AbandonRequest();
    ++FAuthAttempts;
    FCredentialsSent = CredentialsInForce();
    return SendRequest() ? TAuthOutcome::Resent : TAuthOutcome::Failed;
}

std::string TAdvHttp::Private::CredentialsInForce() const
{
    return FUserName + '\0' + FPassword + '\0' + FProxyUserName + '\0' + FProxyPassword;
}

bool TAdvHttp::Private::AskForCredentials()
{
    LPVOID data = nullptr;
    DWORD answer = InternetErrorDlg(GetDesktopWindow(), FRequest, FLastError, CredentialDialogFlags, &data);
    return answer != ERROR_SUCCESS && answer != ERROR_CANCELLED;
}

// The server (or proxy) wants credentials the request has not got: the login failed, recorded
// before the request closes.
TAdvHttp::Private::TAuthOutcome TAdvHttp::Private::AbandonRequest()
{
    static_cast<void>(Fail(ERROR_INTERNET_LOGIN_FAILURE));
    CloseRequest();
    return TAuthOutcome::Failed;
}

// Headers and body; a request completes only when both were read whole.
TAdvHttp::Private::TProgress TAdvHttp::Private::ReadResponse()
{
    if (!ReadHeaders()) {
        CloseRequest();
        return EndUnread();
    }
    if (!ReadBody())
        return EndUnread();
    return CompleteRequest() ? TProgress::Completed : TProgress::Failed;
}

// A request whose response was not read whole fails. Its failure is recorded by then, except
// after a call that failed without a code, or when the component is being destroyed: a code of
// its own then.
TAdvHttp::Private::TProgress TAdvHttp::Private::EndUnread()
{
    static_cast<void>(Fail(ERROR_INTERNET_INTERNAL_ERROR)); // nothing when the ending is decided
    return TProgress::Failed;
}

// The one place a request completes: its response read whole, and no failure or stop decided
// first. Busy is false from here on, so that OnRequestComplete may start the next request.
// True when it completed.
bool TAdvHttp::Private::CompleteRequest()
{
    bool stopped = false;
    if (!DecideEnding(TEnding::Completed, &stopped))
        return stopped && RecordCancel();
    FBusy = false;
    return Deliver(q->OnRequestComplete);
}

bool TAdvHttp::Private::ReadHeaders()
{
    if (FRequest == nullptr)
        return false;
    // Left uninitialised: the query writes what it hands back (clearing 8 KiB per request showed
    // in the request rate's profile). A longer head is asked for again with the size the query
    // gives, up to MaxResponseHeadSize.
    auto buffer = std::make_unique_for_overwrite<char[]>(RawHeadersSize);
    DWORD length = RawHeadersSize;
    DWORD index = 0;
    BOOL queried = HttpQueryInfoA(FRequest, HTTP_QUERY_RAW_HEADERS_CRLF, buffer.get(), &length, &index);
    if (!queried && GetLastError() == ERROR_INSUFFICIENT_BUFFER && length > RawHeadersSize) {
        if (length > MaxResponseHeadSize)
            return Fail(ERROR_INSUFFICIENT_BUFFER,
                        "The response head is longer than " + std::to_string(MaxResponseHeadSize) + " bytes");
        const DWORD size = length;
        buffer = std::make_unique_for_overwrite<char[]>(size);
        index = 0;
        queried = HttpQueryInfoA(FRequest, HTTP_QUERY_RAW_HEADERS_CRLF, buffer.get(), &length, &index);
        length = queried ? std::min(length, size) : length;
    }
    if (!CheckResult(queried != FALSE) || !queried)
        return false;
    FResponseHeaders.Clear();
    FResponseHeaders.SetText(std::string_view(buffer.get(), length));
    return true;
}

// Whatever happens, the request is closed at the end. True when the whole body was read.
bool TAdvHttp::Private::ReadBody()
{
    // Uninitialised: each read writes the part it hands over.
    FChunkBuffer = std::make_unique_for_overwrite<char[]>(ChunkBufferSize);
    FResponseBody.clear();
    ReserveForBody();
    const bool read = ReadChunks();
    CloseRequest();
    return read;
}

// A kept body of announced length gets its buffer at once: one allocation instead of a series
// of copies into ever larger ones, each touching fresh memory (reading a large body, the page
// faults cost more than the network). A failed query just leaves the buffer to grow.
void TAdvHttp::Private::ReserveForBody()
{
    DWORD length = 0;
    DWORD size = sizeof length;
    if (FKeepingBody &&
        HttpQueryInfoA(FRequest, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length, &size, nullptr) &&
        length <= FBodyLimit)
        FResponseBody.reserve(length);
}

// True at the end of the body; false when a read failed, the request was stopped or the
// component is being destroyed.
bool TAdvHttp::Private::ReadChunks()
{
    for (;;) {
        if (FCancelRequested)
            return RecordCancel();
        if (FRequest == nullptr || FAbort)
            return false;
        FChunkCount = 0;
        BOOL read = InternetReadFile(FRequest, FChunkBuffer.get(), ChunkReadSize, &FChunkCount);
        if (IsPending(read)) {
            if (!WaitForPendingRead()) // failed (recorded by the completion), stopped or being destroyed
                return FCancelRequested ? RecordCancel() : false;
        } else if (!CheckResult(read != FALSE)) {
            return false;
        }
        if (FChunkCount == 0)
            return true;
        if (!AppendChunk(std::min(FChunkCount, ChunkReadSize)) || !FireRequestEvent(q->OnDataAvailable))
            return false;
    }
}

// The chunk in the buffer is appended to the body when it is kept; a body that is not kept is
// counted only, and its chunk lives until the next read.
bool TAdvHttp::Private::AppendChunk(DWORD count)
{
    if (FKeepingBody) {
        if (FResponseBody.size() + count > FBodyLimit)
            return Fail(ERROR_FILE_TOO_LARGE, "The response body is longer than ResponseBodyLimit allows (" +
                                                  std::to_string(FBodyLimit) + " bytes)");
        FResponseBody.append(FChunkBuffer.get(), count);
    }
    FChunkPosition = FBytesRead.load();
    FChunkSize = count;
    FBytesRead += count;
    return true;
}

std::string_view TAdvHttp::Private::Chunk() const
{
    return FChunkBuffer ? std::string_view(FChunkBuffer.get(), FChunkSize) : std::string_view();
}

void TAdvHttp::Private::CloseRequest()
{
    HINTERNET request = nullptr;
    bool closedByCancel = false;
    {
        std::lock_guard lock(FCancelLock);
        request = std::exchange(FRequest, nullptr);
        closedByCancel = std::exchange(FRequestClosedByCancel, false);
    }
    if (request != nullptr)
        CloseRequestHandle(request, closedByCancel);
    if (FConnect != nullptr)
        InternetCloseHandle(std::exchange(FConnect, nullptr));
    FChunkBuffer.reset(); // the library no longer fills it once the request handle is closed
    DropHandlerFailure(); // a handler that raised while the handles closed has no one to reach
    FAbort = false;
}

// Once this returns, no status event of the request follows: its notifications are no longer
// taken, and one being delivered right now on the library's thread has ended.
// A handle that Cancel closed has had its closing notification, or has it on its way.
void TAdvHttp::Private::CloseRequestHandle(HINTERNET request, bool closedByCancel)
{
    FNotifiedRequest = nullptr;
    if (!closedByCancel) {
        std::lock_guard lock(FClosingLock);
        FClosingRequest = request;
        FClosingNotified = false;
    }
    if (closedByCancel || InternetCloseHandle(request))
        WaitForClosingNotification();
    std::lock_guard lock(FClosingLock);
    FClosingRequest = nullptr;
}

bool TAdvHttp::Private::CloseInternet()
{
    CloseRequest();
    return CloseInternetHandle();
}

bool TAdvHttp::Private::CloseInternetHandle()
{
    if (FInternet == nullptr)
        return true;
    return InternetCloseHandle(std::exchange(FInternet, nullptr)) != FALSE;
}

// ---------------------------------------------------------------------------------------------
// Cancelling

// Closing the request handle ends a call blocked on it at once, on whatever thread; the thread
// that runs the request then finds every call failing and ends it as stopped. The lock keeps
// the handle from being closed twice, the stop from being taken for another ending, and the
// request's thread from freeing what the library may still fill (a pending read's buffer)
// before the close is through.
void TAdvHttp::Private::Cancel()
{
    Stop(ERROR_INTERNET_OPERATION_CANCELLED);
}

// Ends the running request as stopped, recording code (12017 for Cancel); nothing happens once
// its ending is decided, a failure or the completion.
void TAdvHttp::Private::Stop(DWORD code)
{
    if (q->InState(csDestroying))
        return;
    // The end of the request may ask for a release (ReleaseOnClose); it waits until the stop
    // is through here, so the component is not freed under this call.
    TRequestInHand inHand(*this);
    {
        std::lock_guard lock(FCancelLock);
        if (!FBusy || FEnding != TEnding::Open)
            return;
        FEnding = TEnding::Failed;
        FCancelRequested = true;
        FStopCode = code;
        if (FRequest != nullptr && !FRequestClosedByCancel) {
            FRequestClosedByCancel = true;
            FNotifiedRequest = nullptr; // no status event after this
            {
                std::lock_guard closing(FClosingLock);
                FClosingRequest = FRequest;
                FClosingNotified = false;
            }
            InternetCloseHandle(FRequest);
        }
    }
    if (FModeFlags != 0)
        EndCancelledWithoutWorker();
}

// The one record of a stop: LastError (12017 for Cancel), q->OnError once, and the EInetError
// that a synchronous Execute raises. Always false.
bool TAdvHttp::Private::RecordCancel()
{
    if (FCancelRecorded.exchange(true))
        return false;
    DWORD code = ERROR_INTERNET_OPERATION_CANCELLED;
    {
        std::lock_guard lock(FCancelLock);
        code = FStopCode;
    }
    DeliverFailureOnce(code, [this, code] { return std::make_exception_ptr(EInetError(StopMessage(code))); });
    return false;
}

// Asynchronous mode: a worker that has the request sees the stop at its next step (woken if it
// waits for the library). Without one (the send or an authentication re-send is pending), no
// completion will ever come for the closed handle, so the request ends here, as a failed send
// does; a completion that slipped in meanwhile starts no worker (HandOverCompletion).
void TAdvHttp::Private::EndCancelledWithoutWorker()
{
    {
        std::lock_guard lock(FWorkerLock);
        FWorkerWake.notify_all();
        if (FWorkerActive || !FBusy || q->InState(csDestroying))
            return;
    }
    const std::uint64_t request = CurrentRequest();
    if (!FCancelRecorded.exchange(true)) {
        DWORD code = ERROR_INTERNET_OPERATION_CANCELLED;
        {
            std::lock_guard lock(FCancelLock);
            code = FStopCode;
        }
        FLastError = code;
        static_cast<void>(FireCaught(q->OnError)); // no request is left for what it raises to stop
    }
    DropHandlerFailure();
    FNotifiedRequest = nullptr;
    EndRequest(request);
}

// ---------------------------------------------------------------------------------------------
// Failures

// After every tested library call: a call that failed with an error code (not 0, not 997: the
// library has nothing to report then) fails the request; a status event's handler that raised
// inside the call, or a stop, stops it. True when the request may go on. LastError is left as
// it is: 0 from the start of the request, or the code of its failure.
bool TAdvHttp::Private::CheckResult(bool succeeded)
{
    const DWORD code = succeeded ? ERROR_SUCCESS : GetLastError();
    if (WritingProperty())
        return succeeded || !IsError(code) || Fail(code);
    if (!CheckHandlers())
        return false;
    if (FCancelRequested) // whatever the call says: its handle may have gone under it
        return RecordCancel();
    if (succeeded || !IsError(code))
        return true;
    return Fail(code);
}

bool TAdvHttp::Private::Fail(DWORD code, const std::string& message)
{
    return RecordFailure(code, [&message] { return std::make_exception_ptr(EInetError(message)); });
}

// With the library's text for the code, made once q->OnError has been delivered.
bool TAdvHttp::Private::Fail(DWORD code)
{
    return RecordFailure(code, [this, code] { return std::make_exception_ptr(EInetError(ErrorText(code))); });
}

// The one place a failure is recorded: LastError, q->OnError, and the EInetError that reaches the
// caller (the exception of q->OnError's handler instead, when it raised). Inside a request only
// its first failure is recorded; after a stop, the stop is. Always false.
bool TAdvHttp::Private::RecordFailure(DWORD code, const std::function<std::exception_ptr()>& failure)
{
    if (WritingProperty()) {
        FLastError = code;
        std::exception_ptr raised = FireCaught(q->OnError);
        std::lock_guard lock(FFailureLock);
        FWriteFailure = raised ? raised : failure();
        return false;
    }
    bool stopped = false;
    if (DecideEnding(TEnding::Failed, &stopped))
        DeliverFailureOnce(code, failure);
    else if (stopped)
        static_cast<void>(RecordCancel());
    return false;
}

// LastError := code, q->OnError, and the failure kept for the caller (q->OnError's exception when
// its handler raised). The ending is decided already.
void TAdvHttp::Private::DeliverFailureOnce(DWORD code, const std::function<std::exception_ptr()>& failure)
{
    FLastError = code;
    if (Deliver(q->OnError))
        KeepFailure(failure());
}

// Decides how the running request ends, unless that is decided already. stopped: whether a
// stop decided it. True when this call decided it.
bool TAdvHttp::Private::DecideEnding(TEnding ending, bool* stopped)
{
    std::lock_guard lock(FCancelLock);
    if (stopped != nullptr)
        *stopped = FCancelRequested;
    if (FEnding != TEnding::Open)
        return false;
    FEnding = ending;
    return true;
}

// The one place a start that failed reaches its caller: the failure raised when RaiseExceptions
// says so, else false with the reason in the calling thread's last error.
bool TAdvHttp::Private::Failed(std::exception_ptr failure, DWORD reason)
{
    if (FRaiseExceptions && failure)
        std::rethrow_exception(failure);
    SetLastError(reason);
    return false;
}

// A property write that failed raises whatever RaiseExceptions says.
void TAdvHttp::Private::RaiseFailure()
{
    std::exception_ptr failure;
    {
        std::lock_guard lock(FFailureLock);
        failure = std::exchange(FWriteFailure, nullptr);
    }
    if (!failure)
        failure = std::make_exception_ptr(EInetError(ErrorText(FLastError)));
    std::rethrow_exception(failure);
}

void TAdvHttp::Private::KeepFailure(std::exception_ptr failure)
{
    std::lock_guard lock(FFailureLock);
    if (WritingProperty())
        FWriteFailure = std::move(failure);
    else
        FFailure = std::move(failure);
}

std::exception_ptr TAdvHttp::Private::TakeFailure()
{
    std::lock_guard lock(FFailureLock);
    return std::exchange(FFailure, nullptr);
}

namespace {
// The component whose property this thread is writing, if any.
thread_local const void* propertyWritten = nullptr;
} // namespace

TAdvHttp::Private::TPropertyWrite::TPropertyWrite(const Private& component)
    : m_previous(std::exchange(propertyWritten, &component))
{
}

TAdvHttp::Private::TPropertyWrite::~TPropertyWrite()
{
    propertyWritten = m_previous;
}

bool TAdvHttp::Private::WritingProperty() const
{
    return propertyWritten == this;
}

std::string TAdvHttp::Private::StopMessage(DWORD code) const
{
    if (code == ERROR_INVALID_THREAD_ID)
        return "The thread this component's events go to (TEventThread::Own) has ended, so the request was stopped";
    return ErrorText(code);
}

std::string TAdvHttp::Private::ErrorText(DWORD code) const
{
    DWORD savedError = GetLastError(); // producing the text must not change the recorded code
    std::array<char, ErrorTextSize> buffer{};
    FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE, GetModuleHandleA("wininet.dll"), code, 0, buffer.data(),
                   ErrorTextSize - 1, nullptr);
    std::string message = buffer.data();
    if (message.empty()) {
        // A code the Internet library has no text for (a system code) still gets a readable one.
        buffer.fill(0);
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, buffer.data(), ErrorTextSize - 1, nullptr);
        message = buffer.data();
    }
    if (message.empty())
        message = "Error " + std::to_string(code);
    if (code == ERROR_INTERNET_EXTENDED_ERROR) {
        DWORD serverError = 0;
        std::vector<char> text(ExtendedErrorTextSize + 1);
        DWORD length = ExtendedErrorTextSize;
        if (!InternetGetLastResponseInfoA(&serverError, text.data(), &length) &&
            GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
            text.resize(length + 1);
            InternetGetLastResponseInfoA(&serverError, text.data(), &length);
        }
        text[std::min(length, ExtendedErrorTextSize)] = '\0';
        message += "\r\nExtended error:" + std::to_string(static_cast<std::int32_t>(serverError)) + " - " +
                   text.data() + "\r\n";
    }
    SetLastError(savedError);
    return message;
}

// A failure told by a notification, on the library's thread: what q->OnError's handler raises
// goes to the request's thread as a status event's handler's would.
void TAdvHttp::Private::RecordFromNotification(DWORD code)
{
    if (!IsError(code))
        code = ERROR_INTERNET_INTERNAL_ERROR; // a request never ends failed without a code
    if (!DecideEnding(TEnding::Failed)) // a stop, or an earlier failure, stands
        return;
    FLastError = code;
    if (std::exception_ptr raised = FireCaught(q->OnError))
        KeepHandlerFailure(std::move(raised));
}

// ---------------------------------------------------------------------------------------------
// Handlers that raise

// The one place the request's thread takes what a handler raised.
std::exception_ptr TAdvHttp::Private::FireCaught(const TNotifyEvent& handler)
{
    try {
        FireEvent(handler);
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

// An event whose handler's exception travels like a failure at that point. False when it raised.
bool TAdvHttp::Private::Deliver(const TNotifyEvent& handler)
{
    std::exception_ptr raised = FireCaught(handler);
    if (!raised)
        return true;
    KeepFailure(std::move(raised));
    return false;
}

// An event in the middle of the request (the body, authentication): a handler that raises ends it.
bool TAdvHttp::Private::FireRequestEvent(const TNotifyEvent& handler)
{
    std::exception_ptr raised = FireCaught(handler);
    return !raised || CancelForHandler(std::move(raised));
}

// The request stops as cancelled, recorded before it closes; the handler's exception is what
// reaches the caller. What q->OnError's handler raises meanwhile is dropped. Always false.
bool TAdvHttp::Private::CancelForHandler(std::exception_ptr raised)
{
    bool stopped = false;
    if (DecideEnding(TEnding::Failed, &stopped)) {
        FLastError = ERROR_INTERNET_OPERATION_CANCELLED;
        static_cast<void>(Deliver(q->OnError));
    } else if (stopped) {
        static_cast<void>(RecordCancel());
    }
    KeepFailure(std::move(raised));
    return false;
}

// A status event's handler that raised on the library's thread during the last call stops the
// request here, on the request's thread. True when none did.
bool TAdvHttp::Private::CheckHandlers()
{
    std::exception_ptr raised;
    {
        std::lock_guard lock(FFailureLock);
        raised = std::exchange(FHandlerFailure, nullptr);
    }
    return !raised || CancelForHandler(std::move(raised));
}

// A status event's handler raised on the library's thread (never through the library): the
// thread that runs the request takes it at its next step.
void TAdvHttp::Private::KeepHandlerFailure(std::exception_ptr failure)
{
    std::lock_guard lock(FFailureLock);
    if (!FHandlerFailure)
        FHandlerFailure = std::move(failure);
}

void TAdvHttp::Private::DropHandlerFailure()
{
    std::lock_guard lock(FFailureLock);
    FHandlerFailure = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Event delivery

void TAdvHttp::Private::FireEvent(const TNotifyEvent& handler)
{
    if (!handler)
        return;
    ++FDeliveriesInFlight;
    struct TDeliveryCount {
        std::atomic<int>& Count;
        ~TDeliveryCount() { --Count; }
    } counted{FDeliveriesInFlight};
    if (q->InState(csDestroying))
        return;
    // A copy, so a handler that reassigns its own event doesn't pull the function from under itself.
    TNotifyEvent call = handler;
    if (DeliversToOwnThread() && QThread::currentThread() != q->thread()) {
        DeliverOnOwnThread(call);
        return;
    }
    HWND window = FUseWindow ? TAdvHttpWindow::Handle() : nullptr;
    if (window == nullptr) {
        THandlerScope running(q);
        call(q);
        return;
    }
    TEventDelivery delivery{&call, nullptr};
    SendMessageA(window, WM_ADVHTTP_EVENT, reinterpret_cast<WPARAM>(&delivery), reinterpret_cast<LPARAM>(q));
    if (delivery.Raised)
        std::rethrow_exception(delivery.Raised);
}

// Events to the component's own thread: each waits in the queue until that thread's event loop
// (or a wait of ours on that thread) runs it, and its firing thread waits for it, as a send to
// the notification window does, so the handler reads the values of its moment.
struct TAdvHttp::Private::TOwnThreadDelivery {
    const TNotifyEvent* Handler = nullptr;
    std::exception_ptr Raised;
    bool Done = false; // guarded by FOwnThreadLock
};

bool TAdvHttp::Private::DeliversToOwnThread() const
{
    return !FUseWindow && FEventThread == TEventThread::Own;
}

void TAdvHttp::Private::DeliverOnOwnThread(const TNotifyEvent& handler)
{
    TOwnThreadDelivery delivery{&handler, nullptr, false};
    {
        std::lock_guard lock(FOwnThreadLock);
        FOwnThreadQueue.push_back(&delivery);
    }
    PostTo(q, [this] { ServeOwnThreadDeliveries(); });
    // An event that thread will never take (it has ended) is let go unrun, and so is one on
    // its way when destruction begins: a firing thread is often shared with other components,
    // and must not wait for ever.
    bool dropped = false;
    {
        std::unique_lock lock(FOwnThreadLock);
        while (!delivery.Done) {
            if (q->InState(csDestroying) || OwnThreadEnded()) {
                const auto queued = std::find(FOwnThreadQueue.begin(), FOwnThreadQueue.end(), &delivery);
                if (queued != FOwnThreadQueue.end()) { // else that thread runs it now
                    FOwnThreadQueue.erase(queued);
                    dropped = true;
                    break;
                }
            }
            FOwnThreadDone.wait_for(lock, OwnThreadCheckInterval);
        }
    }
    if (dropped) {
        Stop(ERROR_INVALID_THREAD_ID); // nothing once destruction has begun
        return;
    }
    if (delivery.Raised)
        std::rethrow_exception(delivery.Raised);
}

// The component's thread has ended (or its QThread is gone): nothing runs its event loop again.
bool TAdvHttp::Private::OwnThreadEnded() const
{
    const QThread* thread = q->thread();
    return thread == nullptr || thread->isFinished();
}

// On the component's own thread. Once destruction has begun the events are let go unrun.
void TAdvHttp::Private::ServeOwnThreadDeliveries()
{
    for (;;) {
        TOwnThreadDelivery* delivery = nullptr;
        {
            std::lock_guard lock(FOwnThreadLock);
            if (FOwnThreadQueue.empty())
                return;
            delivery = FOwnThreadQueue.front();
            FOwnThreadQueue.erase(FOwnThreadQueue.begin());
        }
        if (!q->InState(csDestroying)) {
            THandlerScope running(q);
            try {
                (*delivery->Handler)(q);
            } catch (...) {
                delivery->Raised = std::current_exception();
            }
        }
        {
            std::lock_guard lock(FOwnThreadLock);
            delivery->Done = true;
        }
        FOwnThreadDone.notify_all();
    }
}

// ---------------------------------------------------------------------------------------------
// Freeing later

TAdvHttp::Private::TRequestInHand::TRequestInHand(Private& component)
    : m_component(component)
{
    std::lock_guard lock(m_component.FReleaseLock);
    ++m_component.FRequestsInHand;
}

TAdvHttp::Private::TRequestInHand::~TRequestInHand()
{
    bool release = false;
    {
        std::lock_guard lock(m_component.FReleaseLock);
        release = --m_component.FRequestsInHand == 0 && std::exchange(m_component.FReleaseAsked, false);
    }
    if (!release)
        return;
    const DWORD lastError = GetLastError(); // what Execute tells its caller
    m_component.ReleaseLater(); // the last use of the component on this thread
    SetLastError(lastError);
}

void TAdvHttp::Private::SetReleaseOnClose(bool release)
{
    if (release && !CanReleaseLater())
        throw EInetError(CannotReleaseLater);
    FReleaseOnClose = release;
}

void TAdvHttp::Private::PostRelease()
{
    if (q->InState(csDestroying))
        return;
    if (!CanReleaseLater())
        throw EInetError(CannotReleaseLater);
    FReleasePending = true;
    ReleaseLater();
}

// A windowed component goes with a message to the notification window; any other with a deferred
// delete, run by the event loop of its own thread. A thread without an event loop never runs one.
bool TAdvHttp::Private::CanReleaseLater() const
{
    if (FUseWindow)
        return TAdvHttpWindow::Handle() != nullptr;
    return QAbstractEventDispatcher::instance(q->thread()) != nullptr;
}

void TAdvHttp::Private::AskForRelease()
{
    if (q->InState(csDestroying))
        return;
    FReleasePending = true;
    {
        std::lock_guard lock(FReleaseLock);
        if (FRequestsInHand > 0) {
            FReleaseAsked = true;
            return;
        }
    }
    ReleaseLater();
}

void TAdvHttp::Private::ReleaseLater()
{
    if (FUseWindow) {
        PostMessageA(TAdvHttpWindow::Handle(), WM_ADVHTTP_RELEASE, 0, reinterpret_cast<LPARAM>(q));
        return;
    }
    // Not deleteLater: a nested event loop inside one of the component's handlers on its own
    // thread (a message box, QTest::qWait) runs deferred deletes, and would free the component
    // under the request that fired the handler.
    QPointer<TAdvHttp> component(q);
    PostTo(QAbstractEventDispatcher::instance(q->thread()), [component] { ReleaseWhenNoHandlerRuns(component); });
}
