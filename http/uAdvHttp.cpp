#include "uAdvHttp.h"

#include <algorithm>
#include <cctype>
#include <array>
#include <cstring>
#include <utility>

#include <QAbstractEventDispatcher>

#include <arpa/inet.h>
#include <netinet/in.h>

#include "TAdvHttpWindow.h"
#include "errhandlingapi.h"
#include "handleapi.h"
#include "libloaderapi.h"
#include "processthreadsapi.h"
#include "synchapi.h"
#include "winbase.h"

namespace {

// An IPv6 address as written in a URL's host, without its brackets ("::1").
bool IsIPv6Address(std::string_view text)
{
    in6_addr address{};
    return text.find(':') != std::string_view::npos &&
           inet_pton(AF_INET6, std::string(text).c_str(), &address) == 1;
}

bool IsBracketedIPv6Address(std::string_view host)
{
    return host.size() > 2 && host.front() == '[' && host.back() == ']' &&
           IsIPv6Address(host.substr(1, host.size() - 2));
}

// A host name as the request connects to it: letters, digits, "-", "." and "_", or an IPv6
// address, written bare ("::1") or bracketed ("[::1]"), which mean the same host. Anything else
// (a user, port, path, escape, or bytes the network library would re-encode) would send the
// request somewhere other than where URL points.
bool IsPlainHostName(std::string_view host)
{
    if (host.empty())
        return false;
    if (IsIPv6Address(host) || IsBracketedIPv6Address(host))
        return true;
    return std::all_of(host.begin(), host.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
    });
}

// The host as it stands in a URL: a bare IPv6 address gets its brackets.
std::string HostInUrl(const std::string& host)
{
    return IsIPv6Address(host) ? "[" + host + "]" : host;
}

// A URL as error texts may show it: scheme, host, port and path. The user's name and password
// and the query and fragment (where the wizard's password travels) are left out.
std::string UrlForMessage(std::string_view url)
{
    const std::size_t schemeEnd = url.find("://");
    std::size_t authorityStart = schemeEnd == std::string_view::npos ? 0 : schemeEnd + 3;
    if (url.substr(0, 2) == "//")
        authorityStart = 2; // a reference naming its own server
    std::size_t authorityEnd = url.find_first_of("/?#", authorityStart);
    if (authorityEnd == std::string_view::npos)
        authorityEnd = url.size();
    std::string_view authority = url.substr(authorityStart, authorityEnd - authorityStart);
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    std::string_view rest = url.substr(authorityEnd);
    rest = rest.substr(0, rest.find_first_of("?#"));
    return std::string(url.substr(0, authorityStart)) + std::string(authority) + std::string(rest);
}

// A host name as error texts may show it: no user or password before an "@", nothing from the
// first "/", "?" or "#".
std::string HostForMessage(std::string_view host)
{
    if (const std::size_t at = host.rfind('@'); at != std::string_view::npos)
        host.remove_prefix(at + 1);
    return std::string(host.substr(0, host.find_first_of("/?#")));
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

constexpr const char* CannotReleaseLater =
    "This component can't be freed later: the thread it belongs to runs no event loop; free it yourself "
    "once its request has ended";

constexpr DWORD ErrorTextSize = 257;          // 256 offered to the formatter, and the NUL
constexpr DWORD ExtendedErrorTextSize = 4096; // the server's text is cut here
constexpr DWORD CredentialDialogFlags =
    FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA;
constexpr DWORD StatusCodeQuery = HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER;
// Receiving buffers of a URL split.
constexpr DWORD HostNameSize = 256;
constexpr DWORD UserNameSize = 128;
constexpr DWORD PasswordSize = 128;
constexpr DWORD UrlPathSize = 2048;
constexpr DWORD ExtraInfoSize = 2048;

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

} // namespace

// ---------------------------------------------------------------------------------------------
// Construction and destruction

TAdvHttp::TAdvHttp(QObject* owner)
    : TComponent(owner)
{
    FUserAgent = DefaultUserAgent;
    FRaiseExceptions = true;
    FSSL = false;
    FMethod = "GET";
    FHostName = LoopbackHostName;
    FPort = INTERNET_DEFAULT_HTTP_PORT;
    FDefaultUi = true;
    FConnectTimeout = 30000;
    FAuthRetries = 3;
    FUseWindow = OwnerIsWindowed();
    SetInternetFlags(DefaultInternetFlags);
    if (!InState(csDesigning) && FUseWindow)
        TAdvHttpWindow::AddUser();
    FCompletionEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
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
    WaitForDeliveries(); // before closing: the library's thread may be waiting on one of them
    HANDLE worker = nullptr;
    {
        std::lock_guard lock(FWorkerLock);
        FAbort = true;
        worker = std::exchange(FWorkerThread, nullptr);
        FWorkerWake.notify_all();
    }
    if (worker != nullptr) {
        WaitForWorker(worker);
        CloseHandle(worker);
    }
    CloseInternet();
    if (FCompletionEvent != nullptr)
        CloseHandle(FCompletionEvent);
    if (!InState(csDesigning) && FUseWindow)
        TAdvHttpWindow::RemoveUser();
}

std::string TAdvHttp::ClassName() const
{
    return "TAdvHttp";
}

// ---------------------------------------------------------------------------------------------
// Properties

std::string TAdvHttp::Text() const
{
    return std::string(FResponseBody.c_str()); // up to the first zero byte
}

std::string TAdvHttp::ServerAddress() const
{
    std::lock_guard lock(FTextValuesLock);
    return FServerAddress;
}

std::string TAdvHttp::RedirectURL() const
{
    std::lock_guard lock(FTextValuesLock);
    return FRedirectURL;
}

void TAdvHttp::SetInternetFlags(TInternetFlags flags)
{
    FInternetFlags = flags;
    FRequestFlags = RequestFlagsOf(flags);
}

void TAdvHttp::SetUserAgent(const std::string& agent)
{
    FUserAgent = agent;
    ReopenInternet();
}

void TAdvHttp::SetProxy(const std::string& proxy)
{
    FProxy = proxy;
    ReopenInternet();
}

// The Internet handle carries the agent and the proxy, so a change reopens it at once; a
// running request keeps its handles (a worker may be reading from them) and the next start
// reopens it instead.
void TAdvHttp::ReopenInternet()
{
    if (FInternet == nullptr)
        return;
    if (Busy()) {
        FInternetOutdated = true;
        return;
    }
    TRequestInHand inHand(*this); // closing a failed request's handles may ask for a release
    CloseInternet();
    OpenInternet();
}

void TAdvHttp::SetUserName(const std::string& userName)
{
    FUserName = userName;
    SetConnectionOption(INTERNET_OPTION_USERNAME, FUserName);
}

void TAdvHttp::SetPassword(const std::string& password)
{
    FPassword = password;
    SetConnectionOption(INTERNET_OPTION_PASSWORD, FPassword);
}

void TAdvHttp::SetProxyUserName(const std::string& userName)
{
    FProxyUserName = userName;
    SetConnectionOption(INTERNET_OPTION_PROXY_USERNAME, FProxyUserName);
}

void TAdvHttp::SetProxyPassword(const std::string& password)
{
    FProxyPassword = password;
    SetConnectionOption(INTERNET_OPTION_PROXY_PASSWORD, FProxyPassword);
}

void TAdvHttp::SetConnectionOption(DWORD option, const std::string& value)
{
    if (FConnect == nullptr)
        return;
    InternetSetOptionA(FConnect, option, const_cast<char*>(value.data()), static_cast<DWORD>(value.size()));
}

// ---------------------------------------------------------------------------------------------
// The request

bool TAdvHttp::Execute(bool synchronous)
{
    TRequestInHand inHand(*this);
    if (Busy()) {
        RefuseWhileBusy();
        return false;
    }
    CloseRequest(); // a failed asynchronous request leaves its handles to the next start
    StartRequest(synchronous);
    try {
        EnsureInternetHandle();
        Connect();
        OpenRequest();
        SendRequest();
        if (synchronous)
            ProcessResponse();
    } catch (...) {
        // Every path that ends the request closes it, so Busy is false once we return.
        CloseRequest();
        return Failed();
    }
    return true;
}

// Leaves the running request and every value alone, LastError included: the reason goes to the
// calling thread's last error instead, a code no request records.
void TAdvHttp::RefuseWhileBusy()
{
    if (FRaiseExceptions)
        throw EInetError("A request is already running on this component; start the next one when it has ended");
    SetLastError(ERROR_BUSY);
}

// Inside a catch block: the failure goes on to the caller when RaiseExceptions says so; else the
// calling thread's last error tells why, as after a refused start.
bool TAdvHttp::Failed()
{
    if (FRaiseExceptions)
        throw;
    SetLastError(FLastError);
    return false;
}

void TAdvHttp::StartRequest(bool synchronous)
{
    FModeFlags = synchronous ? 0 : INTERNET_FLAG_ASYNC;
    FBusy = true;
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
    FCancelledByHandler = false;
    DropHandlerFailure();
}

// A handle opened in the other mode would never complete this request's way (a synchronous
// handle gives no completions to an asynchronous request), so it is reopened.
void TAdvHttp::EnsureInternetHandle()
{
    if (FInternet != nullptr && (FInternetModeFlags != FModeFlags || FInternetOutdated))
        CloseInternetHandle(); // the request's own handles were closed before the start
    if (FInternet == nullptr)
        OpenInternet();
}

void TAdvHttp::OpenInternet()
{
    try {
        DWORD mode = FModeFlags;
        if (FProxy.empty())
            FInternet = InternetOpenA(FUserAgent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, mode);
        else
            FInternet = InternetOpenA(FUserAgent.c_str(), INTERNET_OPEN_TYPE_PROXY, FProxy.c_str(), nullptr, mode);
        CheckResult(FInternet != nullptr);
        FInternetModeFlags = mode;
        FInternetOutdated = false;
        InternetSetStatusCallback(FInternet, StatusCallback);
    } catch (...) {
        if (FRaiseExceptions || FCancelledByHandler)
            throw;
    }
}

void TAdvHttp::Connect()
{
    FConnect = InternetConnectA(FInternet, FHostName.c_str(), static_cast<INTERNET_PORT>(FPort), nullptr, nullptr,
                                INTERNET_SERVICE_HTTP, 0, 0);
    CheckResult(FConnect != nullptr);
    DWORD timeout = static_cast<DWORD>(FConnectTimeout);
    InternetSetOptionA(FConnect, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof(timeout));
}

void TAdvHttp::OpenRequest()
{
    if (!IsHttpToken(FMethod))
        RaiseFailure(ERROR_INVALID_PARAMETER, "The request method '" + FMethod + "' is not a valid HTTP method");
    std::string objectPath = FURLPath + FExtraInfo;
    // The library reads the list up to the first empty entry, so an empty line ends it.
    std::array<LPCSTR, MaxAcceptTypes + 1> acceptTypes{};
    for (std::size_t i = 0; i < FAcceptTypes.Count() && i < MaxAcceptTypes; ++i) {
        if (!FAcceptTypes[i].empty())
            acceptTypes[i] = FAcceptTypes[i].c_str();
    }
    LPCSTR* accept = FAcceptTypes.Text().empty() ? nullptr : acceptTypes.data();
    // The request gets the component as its context, so its notifications reach us.
    FRequest = HttpOpenRequestA(FConnect, FMethod.c_str(), objectPath.c_str(), nullptr, nullptr, accept,
                                FRequestFlags | FSecureFlag, reinterpret_cast<DWORD_PTR>(this));
    FNotifiedRequest = FRequest;
    CheckResult(FRequest != nullptr);
    FAuthAttempts = 0;
    SetUserName(FUserName);
    SetPassword(FPassword);
}

void TAdvHttp::SendRequest()
{
    // A line break inside a line would start a header the caller never listed (a value taken
    // from user input could smuggle one in).
    for (std::size_t i = 0; i < FRequestHeaders.Count(); ++i) {
        if (FRequestHeaders[i].find_first_of("\r\n") != std::string::npos)
            RaiseFailure(ERROR_HTTP_INVALID_HEADER,
                         "Request header line " + std::to_string(i + 1) + " holds a line break");
    }
    std::string headers;
    if (FRequestHeaders.Count() > 0)
        headers = FRequestHeaders.Text() + "\r\n";
    LPCSTR headerText = headers.empty() ? nullptr : headers.c_str();
    LPVOID body = FRequestBody.empty() ? nullptr : FRequestBody.data();
    BOOL sent = HttpSendRequestA(FRequest, headerText, static_cast<DWORD>(headers.size()), body,
                                 static_cast<DWORD>(FRequestBody.size()));
    if (IsPending(sent))
        return; // asynchronous mode: the request-complete notification tells how it went
    CheckResult(sent != FALSE);
}

// Examine the status, answer authentication, read the response. In synchronous mode an
// authentication re-send is answered by the next round of this loop; in asynchronous mode its
// completion comes back to the worker.
void TAdvHttp::ProcessResponse()
{
    for (;;) {
        bool needsAuthentication = false;
        bool resent = false;
        try {
            needsAuthentication = CheckAuthentication();
            if (needsAuthentication)
                resent = AnswerAuthentication();
        } catch (...) {
            CloseRequest();
            throw;
        }
        if (!needsAuthentication) {
            ReadResponse();
            return;
        }
        if (!resent || FModeFlags != 0)
            return;
    }
}

bool TAdvHttp::CheckAuthentication()
{
    DWORD status = 0;
    DWORD length = sizeof(status);
    DWORD index = 0;
    try {
        BOOL queried = HttpQueryInfoA(FRequest, StatusCodeQuery, &status, &length, &index);
        CheckResult(queried != FALSE);
        if (!queried)
            return false;
    } catch (...) {
        if (FCancelledByHandler)
            throw; // a status event's handler raised: the request stops
        return false; // recorded; the headers and body are read all the same
    }
    FStatusCode = status;
    if (status == 401) {
        FireRequestEvent(OnNeedAuth);
        return true;
    }
    if (status == 407) {
        FireRequestEvent(OnNeedProxyAuth);
        return true;
    }
    return false;
}

// True when the request was sent again.
bool TAdvHttp::AnswerAuthentication()
{
    if (FAuthAttempts >= FAuthRetries) {
        AbandonRequest();
        return false;
    }
    if (FDefaultUi && !AskForCredentials()) {
        AbandonRequest();
        return false;
    }
    ++FAuthAttempts;
    if (FAbort) {
        CloseRequest();
        return false;
    }
    SendRequest();
    return true;
}

bool TAdvHttp::AskForCredentials()
{
    LPVOID data = nullptr;
    DWORD answer = InternetErrorDlg(GetDesktopWindow(), FRequest, FLastError, CredentialDialogFlags, &data);
    return answer != ERROR_SUCCESS && answer != ERROR_CANCELLED;
}

// The failure is recorded before the request closes, so that whoever waits for the closing
// (CompletionEvent) finds it recorded.
void TAdvHttp::AbandonRequest()
{
    try {
        SetErrorCode(ERROR_INTERNET_OPERATION_CANCELLED);
    } catch (...) {
        CloseRequest();
        throw;
    }
    CloseRequest();
}

// Headers and body; OnRequestComplete also when one of them raised.
void TAdvHttp::ReadResponse()
{
    try {
        ReadHeaders();
        ReadBody();
    } catch (...) {
        CloseRequest(); // a header failure ends before the body
        CompleteRequest();
        throw;
    }
    CompleteRequest();
}

// A request that was cancelled or abandoned did not finish and never reads as finished.
void TAdvHttp::CompleteRequest()
{
    if (FLastError != ERROR_INTERNET_OPERATION_CANCELLED && !FCancelledByHandler)
        FireEvent(OnRequestComplete);
}

void TAdvHttp::ReadHeaders()
{
    try {
        if (FRequest == nullptr)
            return;
        std::vector<char> buffer(RawHeadersSize);
        DWORD length = RawHeadersSize;
        DWORD index = 0;
        BOOL queried = HttpQueryInfoA(FRequest, HTTP_QUERY_RAW_HEADERS_CRLF, buffer.data(), &length, &index);
        CheckResult(queried != FALSE);
        FResponseHeaders.Clear();
        if (queried && FLastError == ERROR_SUCCESS)
            FResponseHeaders.SetText(std::string_view(buffer.data(), std::min(length, RawHeadersSize)));
    } catch (...) {
        if (FRaiseExceptions || FCancelledByHandler)
            throw;
    }
}

// Whatever happens, the request is closed at the end.
void TAdvHttp::ReadBody()
{
    FChunkBuffer = std::make_unique<char[]>(ChunkBufferSize);
    FResponseBody.clear();
    ReserveForBody();
    std::exception_ptr failure;
    try {
        ReadChunks();
    } catch (...) {
        // A handler's exception stops the request whatever RaiseExceptions says: the transfer
        // did not finish, and Execute must not report that it did.
        if (FRaiseExceptions || FCancelledByHandler)
            failure = std::current_exception();
    }
    CloseRequest();
    if (failure)
        std::rethrow_exception(failure);
}

// A body of announced length gets its buffer at once: one allocation instead of a series of
// copies into ever larger ones, each touching fresh memory (reading a large body, the page
// faults cost more than the network). A failed query just leaves the buffer to grow.
void TAdvHttp::ReserveForBody()
{
    DWORD length = 0;
    DWORD size = sizeof length;
    if (HttpQueryInfoA(FRequest, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length, &size, nullptr) &&
        length <= MaxResponseBodySize)
        FResponseBody.reserve(length);
}

void TAdvHttp::ReadChunks()
{
    for (;;) {
        if (FRequest == nullptr || FAbort)
            return;
        FChunkCount = 0;
        BOOL read = InternetReadFile(FRequest, FChunkBuffer.get(), ChunkReadSize, &FChunkCount);
        if (IsPending(read)) {
            if (!WaitForPendingRead())
                return; // failed (recorded by the completion) or being destroyed
        } else {
            CheckResult(read != FALSE);
        }
        if (FChunkCount == 0)
            return;
        AppendChunk(std::min(FChunkCount, ChunkReadSize));
        FireRequestEvent(OnDataAvailable);
    }
}

void TAdvHttp::AppendChunk(DWORD count)
{
    if (FResponseBody.size() + count > MaxResponseBodySize)
        RaiseFailure(ERROR_NOT_ENOUGH_MEMORY,
                     "The response body is longer than " + std::to_string(MaxResponseBodySize) + " bytes");
    FChunkPosition = static_cast<DWORD>(FResponseBody.size());
    FResponseBody.append(FChunkBuffer.get(), count);
    FChunkSize = count;
    FBytesRead += count;
}

void TAdvHttp::CloseRequest()
{
    if (FRequest != nullptr)
        CloseRequestHandle(std::exchange(FRequest, nullptr));
    if (FConnect != nullptr)
        InternetCloseHandle(std::exchange(FConnect, nullptr));
    FChunkBuffer.reset(); // the library no longer fills it once the request handle is closed
    DropHandlerFailure(); // a handler that raised while the handles closed has no one to reach
    FAbort = false;
    FBusy = false;
}

// Once this returns, no status event of the request follows: its notifications are no longer
// taken, and one being delivered right now on the library's thread has ended.
void TAdvHttp::CloseRequestHandle(HINTERNET request)
{
    FNotifiedRequest = nullptr;
    {
        std::lock_guard lock(FClosingLock);
        FClosingRequest = request;
        FClosingNotified = false;
    }
    if (InternetCloseHandle(request))
        WaitForClosingNotification();
    std::lock_guard lock(FClosingLock);
    FClosingRequest = nullptr;
}

bool TAdvHttp::CloseInternet()
{
    CloseRequest();
    return CloseInternetHandle();
}

bool TAdvHttp::CloseInternetHandle()
{
    if (FInternet == nullptr)
        return true;
    return InternetCloseHandle(std::exchange(FInternet, nullptr)) != FALSE;
}

// ---------------------------------------------------------------------------------------------
// Failures

void TAdvHttp::CheckResult(bool succeeded)
{
    DWORD code = succeeded ? ERROR_SUCCESS : GetLastError();
    RethrowHandlerFailure();
    SetErrorCode(ERROR_SUCCESS);
    if (succeeded)
        return;
    SetErrorCode(code);
    if (IsError(code))
        throw EInetError(ErrorText(code));
}

void TAdvHttp::SetErrorCode(DWORD code)
{
    FLastError = code;
    if (IsError(code))
        FireEvent(OnError);
}

// The one way a failure found by the component itself (not by a library call) is recorded.
void TAdvHttp::RaiseFailure(DWORD code, const std::string& message)
{
    SetErrorCode(code);
    throw EInetError(message);
}

std::string TAdvHttp::ErrorText(DWORD code) const
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

// ---------------------------------------------------------------------------------------------
// Handlers that raise in the middle of a request

// The request stops as cancelled, recorded before it closes; the handler's exception goes on from
// here. What OnError's handler raises meanwhile is dropped: the first exception is the one told.
void TAdvHttp::CancelForHandler()
{
    if (FCancelledByHandler.exchange(true))
        return;
    try {
        SetErrorCode(ERROR_INTERNET_OPERATION_CANCELLED);
    } catch (...) {
    }
}

// An event in the middle of the request (the body, authentication): a handler that raises ends it.
void TAdvHttp::FireRequestEvent(const TNotifyEvent& handler)
{
    try {
        FireEvent(handler);
    } catch (...) {
        CancelForHandler();
        throw;
    }
}

// A status event's handler raised on the library's thread (never through the library): the
// thread that runs the request raises it at its next step.
void TAdvHttp::KeepHandlerFailure(std::exception_ptr failure)
{
    std::lock_guard lock(FHandlerFailureLock);
    if (!FHandlerFailure)
        FHandlerFailure = std::move(failure);
}

void TAdvHttp::DropHandlerFailure()
{
    std::lock_guard lock(FHandlerFailureLock);
    FHandlerFailure = nullptr;
}

void TAdvHttp::RethrowHandlerFailure()
{
    std::exception_ptr failure;
    {
        std::lock_guard lock(FHandlerFailureLock);
        failure = std::exchange(FHandlerFailure, nullptr);
    }
    if (!failure)
        return;
    CancelForHandler();
    std::rethrow_exception(failure);
}

// ---------------------------------------------------------------------------------------------
// URL and its parts

void TAdvHttp::SetURL(const std::string& url)
{
    SplitURL(url);
}

void TAdvHttp::SetURLPath(const std::string& path)
{
    SetURLPart(FURLPath, path);
}

void TAdvHttp::SetHostName(const std::string& hostName)
{
    SetURLPart(FHostName, hostName);
}

void TAdvHttp::SetExtraInfo(const std::string& extraInfo)
{
    bool marked = extraInfo.empty() || extraInfo.front() == '#' || extraInfo.front() == '?';
    SetURLPart(FExtraInfo, marked ? extraInfo : "?" + extraInfo);
}

void TAdvHttp::SetSSL(bool ssl)
{
    FSSL = ssl;
    BuildURL();
}

// 0 stands for the scheme's default port, which is where a request for port 0 goes.
std::int32_t TAdvHttp::DefaultPort() const
{
    return FSSL ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
}

void TAdvHttp::SetPort(std::int32_t port)
{
    if (port < 0 || port > 65535)
        RaiseFailure(ERROR_INTERNET_INVALID_URL, "The port " + std::to_string(port) + " is not between 0 and 65535");
    FPort = port == 0 ? DefaultPort() : port;
    BuildURL();
}

// Stores a part and rebuilds URL; a failed rebuild puts the old part back.
template <class Value> void TAdvHttp::SetURLPart(Value& part, Value value)
{
    Value old = std::exchange(part, std::move(value));
    try {
        BuildURL();
    } catch (...) {
        part = std::move(old);
        throw;
    }
}

void TAdvHttp::BuildURL()
{
    if (!IsPlainHostName(FHostName))
        RaiseFailure(ERROR_INTERNET_INVALID_URL,
                     "The host name '" + HostForMessage(FHostName) + "' is not a valid host name");
    std::string base = (FSSL ? "https://" : "http://") + HostInUrl(FHostName);
    // Only http's own port goes unwritten: under SSL even 80 is written, or the URL would name
    // port 443 while requests go to 80.
    if (FPort != INTERNET_DEFAULT_HTTP_PORT || FSSL)
        base += ":" + std::to_string(FPort);
    std::string relative = FURLPath + FExtraInfo;
    std::vector<char> buffer(CombinedUrlSize);
    DWORD length = CombinedUrlSize;
    // The request sends the path as written after the host, with a "/" in front when it has
    // none, so URL shows it that way: dot segments stay ("./x" goes out as "/./x"), and a path
    // that starts with "//" is a path on this host (combined on its own it would name another
    // host). A part that names a scheme is combined as it is, and refused below.
    const std::size_t firstDelimiter = relative.find_first_of("/?#");
    const bool namesScheme = relative.find(':') < firstDelimiter;
    const bool onThisHost = !relative.empty() && !namesScheme && relative.front() != '?' && relative.front() != '#';
    const std::string combinedBase = onThisHost ? base + (relative.front() == '/' ? "" : "/") + relative : base;
    BOOL combined = InternetCombineUrlA(combinedBase.c_str(), onThisHost ? "" : relative.c_str(), buffer.data(),
                                        &length, ICU_ENCODE_SPACES_ONLY | ICU_NO_META);
    CheckResult(combined != FALSE);
    if (!combined)
        RaiseFailure(ERROR_INTERNET_INVALID_URL, ErrorText(ERROR_INTERNET_INVALID_URL));
    const std::string_view url(buffer.data(), std::min(length, CombinedUrlSize - 1));
    // The path and extra information are relative to the host: a part naming a scheme or a host
    // of its own ("ftp://h/x", "//h/x") would point URL somewhere the request doesn't go.
    const bool underBase = StartsWithIgnoringCase(url, base) &&
                           (url.size() == base.size() || std::strchr("/?#", url[base.size()]) != nullptr);
    if (!underBase)
        RaiseFailure(ERROR_INTERNET_INVALID_URL,
                     "The path '" + UrlForMessage(relative) + "' does not lie on the server " + base);
    FURL.assign(url);
}

// The URL is split as written: escape sequences stay in the parts, so the request carries
// exactly what the caller wrote. Nothing changes unless the whole split succeeds.
void TAdvHttp::SplitURL(const std::string& url)
{
    if (url.find('\0') != std::string::npos)
        RaiseFailure(ERROR_INTERNET_INVALID_URL, "The URL contains a zero byte");
    std::array<char, HostNameSize> hostName{};
    std::array<char, UserNameSize> userName{};
    std::array<char, PasswordSize> password{};
    std::array<char, UrlPathSize> urlPath{};
    std::array<char, ExtraInfoSize> extraInfo{};
    URL_COMPONENTSA components{};
    components.dwStructSize = sizeof(components);
    components.lpszHostName = hostName.data();
    components.dwHostNameLength = HostNameSize;
    components.lpszUserName = userName.data();
    components.dwUserNameLength = UserNameSize;
    components.lpszPassword = password.data();
    components.dwPasswordLength = PasswordSize;
    components.lpszUrlPath = urlPath.data();
    components.dwUrlPathLength = UrlPathSize;
    components.lpszExtraInfo = extraInfo.data();
    components.dwExtraInfoLength = ExtraInfoSize;

    BOOL cracked = InternetCrackUrlA(url.c_str(), static_cast<DWORD>(url.size()), 0, &components);
    CheckResult(cracked != FALSE);
    if (!cracked)
        RaiseFailure(ERROR_INTERNET_INVALID_URL, ErrorText(ERROR_INTERNET_INVALID_URL));
    if (components.nScheme != INTERNET_SCHEME_HTTP && components.nScheme != INTERNET_SCHEME_HTTPS)
        throw Exception("Invalid protocol");
    if (hostName[0] == '\0')
        RaiseFailure(ERROR_INTERNET_INVALID_URL, "The URL names no host: " + UrlForMessage(url));
    if (!IsPlainHostName(hostName.data()))
        RaiseFailure(ERROR_INTERNET_INVALID_URL, "The URL names no valid host: " + UrlForMessage(url));

    FSSL = components.nScheme == INTERNET_SCHEME_HTTPS;
    FHostName = hostName.data();
    FURLPath = urlPath.data();
    FExtraInfo = extraInfo.data();
    FPort = components.nPort == 0 ? DefaultPort() : components.nPort;
    if (userName[0] != '\0')
        FUserName = userName.data();
    if (password[0] != '\0')
        FPassword = password.data();
    FURL = url;
}

// ---------------------------------------------------------------------------------------------
// Event delivery

void TAdvHttp::FireEvent(const TNotifyEvent& handler)
{
    if (!handler)
        return;
    ++FDeliveriesInFlight;
    struct TDeliveryCount {
        std::atomic<int>& Count;
        ~TDeliveryCount() { --Count; }
    } counted{FDeliveriesInFlight};
    if (InState(csDestroying))
        return;
    // A copy, so a handler that reassigns its own event doesn't pull the function from under itself.
    TNotifyEvent call = handler;
    HWND window = FUseWindow ? TAdvHttpWindow::Handle() : nullptr;
    if (window == nullptr) {
        THandlerScope running(this);
        call(this);
        return;
    }
    TEventDelivery delivery{&call, nullptr};
    SendMessageA(window, WM_ADVHTTP_EVENT, reinterpret_cast<WPARAM>(&delivery), reinterpret_cast<LPARAM>(this));
    if (delivery.Raised)
        std::rethrow_exception(delivery.Raised);
}

// ---------------------------------------------------------------------------------------------
// Freeing later

TAdvHttp::TRequestInHand::TRequestInHand(TAdvHttp& component)
    : m_component(component)
{
    std::lock_guard lock(m_component.FReleaseLock);
    ++m_component.FRequestsInHand;
}

TAdvHttp::TRequestInHand::~TRequestInHand()
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

void TAdvHttp::SetReleaseOnClose(bool release)
{
    if (release && !CanReleaseLater())
        throw EInetError(CannotReleaseLater);
    FReleaseOnClose = release;
}

void TAdvHttp::PostRelease()
{
    if (InState(csDestroying))
        return;
    if (!CanReleaseLater())
        throw EInetError(CannotReleaseLater);
    ReleaseLater();
}

// A windowed component goes with a message to the notification window; any other with a deferred
// delete, run by the event loop of its own thread. A thread without an event loop never runs one.
bool TAdvHttp::CanReleaseLater() const
{
    if (FUseWindow)
        return TAdvHttpWindow::Handle() != nullptr;
    return QAbstractEventDispatcher::instance(thread()) != nullptr;
}

void TAdvHttp::AskForRelease()
{
    if (InState(csDestroying))
        return;
    {
        std::lock_guard lock(FReleaseLock);
        if (FRequestsInHand > 0) {
            FReleaseAsked = true;
            return;
        }
    }
    ReleaseLater();
}

void TAdvHttp::ReleaseLater()
{
    if (FUseWindow)
        PostMessageA(TAdvHttpWindow::Handle(), WM_ADVHTTP_RELEASE, 0, reinterpret_cast<LPARAM>(this));
    else
        deleteLater();
}

// ---------------------------------------------------------------------------------------------
// Streaming

bool TAdvHttp::SkipWhileLoading(bool unchanged) const
{
    return unchanged && InState(csLoading);
}

std::vector<TPropertyInfo> TAdvHttp::PublishedProperties()
{
    using V = TPropertyValue;
    auto integer = [](const V& value) { return std::get<std::int32_t>(value); };
    auto boolean = [](const V& value) { return std::get<bool>(value); };
    auto string = [](const V& value) { return std::get<std::string>(value); };
    auto lines = [](const V& value) { return TStringList(std::get<std::vector<std::string>>(value)); };

    std::vector<TPropertyInfo> properties = TComponent::PublishedProperties();
    auto add = [&](std::string name, TPropertyKind kind, std::function<V()> read, std::function<void(const V&)> write,
                   std::optional<V> streamedDefault = std::nullopt) {
        properties.push_back({std::move(name), kind, std::move(read), std::move(write), std::move(streamedDefault), {}});
    };
    add("ConnectTimeout", TPropertyKind::Integer, [this] { return V(FConnectTimeout); },
        [=, this](const V& v) { SetConnectTimeout(integer(v)); });
    add("RaiseExceptions", TPropertyKind::Boolean, [this] { return V(FRaiseExceptions); },
        [=, this](const V& v) { SetRaiseExceptions(boolean(v)); }, V(true));
    add("UserAgent", TPropertyKind::String, [this] { return V(FUserAgent); },
        [=, this](const V& v) { SetUserAgent(string(v)); });
    add("Proxy", TPropertyKind::String, [this] { return V(FProxy); }, [=, this](const V& v) { SetProxy(string(v)); });
    // URL and its parts, read from a layout with the value they already hold, change nothing
    // (a rebuild would rewrite URL as written), and an empty URL leaves it unset: every layout
    // the writer writes reads back.
    add("SSL", TPropertyKind::Boolean, [this] { return V(FSSL); },
        [=, this](const V& v) {
            if (!SkipWhileLoading(boolean(v) == FSSL))
                SetSSL(boolean(v));
        },
        V(false));
    add("URL", TPropertyKind::String, [this] { return V(FURL); },
        [=, this](const V& v) {
            if (!SkipWhileLoading(string(v).empty() || string(v) == FURL))
                SetURL(string(v));
        });
    add("URLPath", TPropertyKind::String, [this] { return V(FURLPath); },
        [=, this](const V& v) {
            if (!SkipWhileLoading(string(v) == FURLPath))
                SetURLPath(string(v));
        });
    add("ExtraInfo", TPropertyKind::String, [this] { return V(FExtraInfo); },
        [=, this](const V& v) {
            if (!SkipWhileLoading(string(v) == FExtraInfo))
                SetExtraInfo(string(v));
        });
    add("Port", TPropertyKind::Integer, [this] { return V(FPort); },
        [=, this](const V& v) {
            if (!SkipWhileLoading(integer(v) == FPort))
                SetPort(integer(v));
        },
        V(std::int32_t{INTERNET_DEFAULT_HTTP_PORT}));
    add("UserName", TPropertyKind::String, [this] { return V(FUserName); },
        [=, this](const V& v) { SetUserName(string(v)); });
    add("Password", TPropertyKind::String, [this] { return V(FPassword); },
        [=, this](const V& v) { SetPassword(string(v)); });
    add("ProxyUserName", TPropertyKind::String, [this] { return V(FProxyUserName); },
        [=, this](const V& v) { SetProxyUserName(string(v)); });
    add("ProxyPassword", TPropertyKind::String, [this] { return V(FProxyPassword); },
        [=, this](const V& v) { SetProxyPassword(string(v)); });
    add("HostName", TPropertyKind::String, [this] { return V(FHostName); },
        [=, this](const V& v) {
            if (!SkipWhileLoading(string(v) == FHostName))
                SetHostName(string(v));
        });
    add("DefaultUi", TPropertyKind::Boolean, [this] { return V(FDefaultUi); },
        [=, this](const V& v) { SetDefaultUi(boolean(v)); }, V(true));
    add("RequestHeaders", TPropertyKind::StringList, [this] { return V(FRequestHeaders.Lines()); },
        [=, this](const V& v) { SetRequestHeaders(lines(v)); });
    add("AcceptTypes", TPropertyKind::StringList, [this] { return V(FAcceptTypes.Lines()); },
        [=, this](const V& v) { SetAcceptTypes(lines(v)); });
    add("Method", TPropertyKind::String, [this] { return V(FMethod); }, [=, this](const V& v) { SetMethod(string(v)); });
    add("Text", TPropertyKind::String, [this] { return V(Text()); }, [=, this](const V& v) { SetText(string(v)); });
    add("AuthRetries", TPropertyKind::Integer, [this] { return V(FAuthRetries); },
        [=, this](const V& v) { SetAuthRetries(integer(v)); });
    add("InternetFlags", TPropertyKind::Set, [this] { return V(TSetValue{FInternetFlags.Bits()}); },
        [this](const V& v) { SetInternetFlags(TInternetFlags::FromBits(std::get<TSetValue>(v).Bits)); });
    for (const TInternetFlagInfo& flag : InternetFlagTable)
        properties.back().SetMembers.emplace_back(flag.Name);
    return properties;
}
