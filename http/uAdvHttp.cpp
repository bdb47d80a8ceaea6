// TAdvHttp: making and freeing the component, the steps of a request, cancelling and freeing
// later. Its properties are in uAdvHttpProperties.cpp and uAdvHttpUrl.cpp, failures in
// uAdvHttpFailures.cpp, the library's notifications and the worker in uAdvHttpStatus.cpp, and
// where its events run in TEventRoute.
#include "uAdvHttpPrivate.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "errhandlingapi.h"
#include "handleapi.h"
#include "synchapi.h"
#include "winuser.h" // GetDesktopWindow: the credential prompt's parent
#include "winbase.h"

namespace {

constexpr const char* CannotReleaseLater =
    "This component can't be freed later: the thread it belongs to runs no event loop; free it yourself "
    "once its request has ended";

// A response head longer than TAdvHttp::RawHeadersSize is asked for again with the size the
// query gives, up to this.
constexpr DWORD MaxResponseHeadSize = 1 << 20;
constexpr DWORD CredentialDialogFlags =
    FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA;
constexpr DWORD StatusCodeQuery = HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER;

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

} // namespace

// ---------------------------------------------------------------------------------------------
// Construction and destruction

TAdvHttp::TAdvHttp(QObject* owner)
    : TComponent(owner)
    , d(std::make_unique<Private>(this))
{
}

TAdvHttp::Private::Private(TAdvHttp* component)
    : q(component)
    , FRoute(component, component->OwnerIsWindowed(), [this] { Stop(ERROR_INVALID_THREAD_ID); })
    // Left empty when it can't be made: the next start tries again, and fails as the system says.
    , FCompletionEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
}

TAdvHttp::~TAdvHttp()
{
    // The request that fired the running handler goes on with this component once the handler
    // returns, and waiting for it here would wait for ever: no way on is safe. The freeing code
    // may be the handler itself or code that runs while it waits: a message box's event loop, or
    // another component's handler that a free made in the handler served.
    if (TEventRoute::HandlerRunning(this))
        qFatal("TAdvHttp: a component was freed while its own event handler runs on this thread: inside the "
               "handler (directly or with its owner), or in code that runs while the handler waits (a message "
               "box's event loop, or another component's handler served while a component is freed); "
               "free it with PostRelease() instead");
    Destroying();
    d->FRoute.Close(); // before closing: the library's thread may be waiting on one of its events
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
}

std::string TAdvHttp::ClassName() const
{
    return "TAdvHttp";
}

// ---------------------------------------------------------------------------------------------
// The request

bool TAdvHttp::Execute(bool synchronous)
{
    return d->Run(synchronous);
}

bool TAdvHttp::Private::Run(bool synchronous)
{
    TRequestInHand inHand(*this);
    // The running request and every value, LastError included, are left alone: the reason goes
    // to the calling thread's last error instead, a code no request records.
    if (FBusy)
        return ReportStartFailure(std::make_exception_ptr(EInetError(
                          "A request is already running on this component; start the next one when it has ended")),
                      ERROR_BUSY);
    // A component about to be freed would be freed under the new request, which would end with
    // no event at all.
    if (FReleasePending)
        return ReportStartFailure(std::make_exception_ptr(EInetError(
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
    std::exception_ptr failure = completed ? nullptr : TakeCallerFailure();
    // A request that completed but whose OnRequestComplete raised has no failure code of its own
    // (LastError stays 0): the caller is told its call was cut short, as by a handler mid-request.
    const DWORD reason = FLastError != ERROR_SUCCESS ? FLastError.load() : ERROR_INTERNET_OPERATION_CANCELLED;
    EndRequest(request);
    if (completed)
        return true;
    if (!failure && FRaiseExceptions)
        failure = std::make_exception_ptr(EInetError(q->ErrorText(reason)));
    return ReportStartFailure(failure, reason);
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
    static_cast<void>(TakeCallerFailure()); // the last request's, which its caller has had
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
        return RecordFailure(ERROR_INVALID_PARAMETER, "The request method '" + FMethod + "' is not a valid HTTP method");
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
    SetConnectionOption(INTERNET_OPTION_USERNAME, FUserName);
    SetConnectionOption(INTERNET_OPTION_PASSWORD, FPassword);
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
        return RecordFailure(ERROR_HTTP_INVALID_HEADER, what + " holds a control character (a line break, for instance), "
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
    static_cast<void>(RecordFailure(ERROR_INTERNET_LOGIN_FAILURE));
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
    static_cast<void>(RecordFailure(ERROR_INTERNET_INTERNAL_ERROR)); // nothing when the ending is decided
    return TProgress::Failed;
}

// The one place a request completes: its response read whole, and no failure or stop decided
// first. Busy turns false where OnRequestComplete runs, as it starts: its handler may start the
// next request, and the thread the event is delivered to (a widget owner's, or the component's
// own) never sees the request over before its event has come. True when it completed.
bool TAdvHttp::Private::CompleteRequest()
{
    bool stopped = false;
    if (!DecideEnding(TEnding::Completed, &stopped))
        return stopped && RecordCancel();
    const TNotifyEvent handler = q->OnRequestComplete;
    if (!handler) {
        FBusy = false;
        return true;
    }
    return Deliver([this, handler](TObject* sender) {
        FBusy = false;
        handler(sender);
    });
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
            return RecordFailure(ERROR_INSUFFICIENT_BUFFER,
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
            return RecordFailure(ERROR_FILE_TOO_LARGE, "The response body is longer than ResponseBodyLimit allows (" +
                                                  std::to_string(FBodyLimit) + " bytes)");
        FResponseBody.append(FChunkBuffer.get(), count);
    }
    FChunkPosition = FBytesRead.load();
    FChunkSize = count;
    FBytesRead += count;
    return true;
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
void TAdvHttp::Cancel()
{
    d->Stop(ERROR_INTERNET_OPERATION_CANCELLED);
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
    m_component.FRoute.ReleaseLater(); // the last use of the component on this thread
    SetLastError(lastError);
}

void TAdvHttp::SetReleaseOnClose(bool release)
{
    if (release && !d->FRoute.CanReleaseLater())
        throw EInetError(CannotReleaseLater);
    d->FReleaseOnClose = release;
}

void TAdvHttp::PostRelease()
{
    if (InState(csDestroying))
        return;
    if (!d->FRoute.CanReleaseLater())
        throw EInetError(CannotReleaseLater);
    d->FReleasePending = true;
    d->FRoute.ReleaseLater();
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
    FRoute.ReleaseLater();
}
