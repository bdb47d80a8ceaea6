// TAdvHttp, continued: its properties. A plain value is read and written in the private part's
// field; a write that does more says so. URL and its parts are in uAdvHttpUrl.cpp.
#include "uAdvHttpPrivate.h"

#include <charconv>

#include <QAbstractEventDispatcher>

#include "ascii_text.h"

std::int32_t TAdvHttp::ConnectTimeout() const
{
    return d->FConnectTimeout;
}

void TAdvHttp::SetConnectTimeout(std::int32_t milliseconds)
{
    d->FConnectTimeout = milliseconds;
}

bool TAdvHttp::RaiseExceptions() const
{
    return d->FRaiseExceptions;
}

void TAdvHttp::SetRaiseExceptions(bool raise)
{
    d->FRaiseExceptions = raise;
}

const std::string& TAdvHttp::UserAgent() const
{
    return d->FUserAgent;
}

// The Internet handle carries the agent and the proxy, so a change reopens it (ReopenInternet).
void TAdvHttp::SetUserAgent(const std::string& agent)
{
    d->FUserAgent = agent;
    d->ReopenInternet();
}

const std::string& TAdvHttp::Proxy() const
{
    return d->FProxy;
}

void TAdvHttp::SetProxy(const std::string& proxy)
{
    d->FProxy = proxy;
    d->ReopenInternet();
}

bool TAdvHttp::SSL() const
{
    return d->FSSL;
}

const std::string& TAdvHttp::URL() const
{
    return d->FURL;
}

const std::string& TAdvHttp::URLPath() const
{
    return d->FURLPath;
}

const std::string& TAdvHttp::ExtraInfo() const
{
    return d->FExtraInfo;
}

std::int32_t TAdvHttp::Port() const
{
    return d->FPort;
}

const std::string& TAdvHttp::UserName() const
{
    return d->FUserName;
}

void TAdvHttp::SetUserName(const std::string& userName)
{
    d->FUserName = userName;
    d->SetConnectionOption(INTERNET_OPTION_USERNAME, d->FUserName);
}

const std::string& TAdvHttp::Password() const
{
    return d->FPassword;
}

void TAdvHttp::SetPassword(const std::string& password)
{
    d->FPassword = password;
    d->SetConnectionOption(INTERNET_OPTION_PASSWORD, d->FPassword);
}

const std::string& TAdvHttp::ProxyUserName() const
{
    return d->FProxyUserName;
}

void TAdvHttp::SetProxyUserName(const std::string& userName)
{
    d->FProxyUserName = userName;
    d->SetConnectionOption(INTERNET_OPTION_PROXY_USERNAME, d->FProxyUserName);
}

const std::string& TAdvHttp::ProxyPassword() const
{
    return d->FProxyPassword;
}

void TAdvHttp::SetProxyPassword(const std::string& password)
{
    d->FProxyPassword = password;
    d->SetConnectionOption(INTERNET_OPTION_PROXY_PASSWORD, d->FProxyPassword);
}

const std::string& TAdvHttp::HostName() const
{
    return d->FHostName;
}

bool TAdvHttp::DefaultUi() const
{
    return d->FDefaultUi;
}

void TAdvHttp::SetDefaultUi(bool defaultUi)
{
    d->FDefaultUi = defaultUi;
}

const TStringList& TAdvHttp::RequestHeaders() const
{
    return d->FRequestHeaders;
}

void TAdvHttp::SetRequestHeaders(const TStringList& headers)
{
    d->FRequestHeaders.Assign(headers);
}

const TStringList& TAdvHttp::AcceptTypes() const
{
    return d->FAcceptTypes;
}

void TAdvHttp::SetAcceptTypes(const TStringList& types)
{
    d->FAcceptTypes.Assign(types);
}

const std::string& TAdvHttp::Method() const
{
    return d->FMethod;
}

void TAdvHttp::SetMethod(const std::string& method)
{
    d->FMethod = method;
}

// Empty once the request has failed: what arrived before the failure is no answer to read.
std::string TAdvHttp::Text() const
{
    if (d->FEnding == Private::TEnding::Failed)
        return {};
    return std::string(d->FResponseBody.c_str()); // up to the first zero byte
}

const std::string& TAdvHttp::ResponseBody() const
{
    return d->FResponseBody;
}

void TAdvHttp::SetText(const std::string& requestBody)
{
    d->FRequestBody = requestBody;
}

std::int32_t TAdvHttp::AuthRetries() const
{
    return d->FAuthRetries;
}

void TAdvHttp::SetAuthRetries(std::int32_t retries)
{
    d->FAuthRetries = retries;
}

TInternetFlags TAdvHttp::InternetFlags() const
{
    return d->FInternetFlags;
}

void TAdvHttp::SetInternetFlags(TInternetFlags flags)
{
    d->FInternetFlags = flags;
    d->FRequestFlags = RequestFlagsOf(flags);
}

DWORD TAdvHttp::ReceiveTimeout() const
{
    return d->FReceiveTimeout;
}

void TAdvHttp::SetReceiveTimeout(DWORD milliseconds)
{
    d->FReceiveTimeout = milliseconds;
}

DWORD TAdvHttp::RequestTimeout() const
{
    return d->FRequestTimeout;
}

void TAdvHttp::SetRequestTimeout(DWORD milliseconds)
{
    d->FRequestTimeout = milliseconds;
}

bool TAdvHttp::KeepResponseBody() const
{
    return d->FKeepResponseBody;
}

void TAdvHttp::SetKeepResponseBody(bool keep)
{
    d->FKeepResponseBody = keep;
}

std::size_t TAdvHttp::ResponseBodyLimit() const
{
    return d->FResponseBodyLimit;
}

void TAdvHttp::SetResponseBodyLimit(std::size_t bytes)
{
    d->FResponseBodyLimit = bytes;
}

const std::string& TAdvHttp::CertificateAuthorities() const
{
    return d->FCertificateAuthorities;
}

void TAdvHttp::SetCertificateAuthorities(const std::string& fileOrFolder)
{
    d->FCertificateAuthorities = fileOrFolder;
}

const std::string& TAdvHttp::ClientCertificate() const
{
    return d->FClientCertificate;
}

void TAdvHttp::SetClientCertificate(const std::string& file)
{
    d->FClientCertificate = file;
}

const std::string& TAdvHttp::ClientKey() const
{
    return d->FClientKey;
}

void TAdvHttp::SetClientKey(const std::string& file)
{
    d->FClientKey = file;
}

TEventThread TAdvHttp::EventThread() const
{
    return d->FRoute.ToOwnThread() ? TEventThread::Own : TEventThread::Firing;
}

void TAdvHttp::SetEventThread(TEventThread thread)
{
    if (thread == TEventThread::Own && QAbstractEventDispatcher::instance(this->thread()) == nullptr)
        throw EInetError("Events can't be delivered to this component's thread: it runs no event loop");
    d->FRoute.SetToOwnThread(thread == TEventThread::Own);
}

DWORD TAdvHttp::LastError() const
{
    return d->FLastError;
}

DWORD TAdvHttp::StatusCode() const
{
    return d->FStatusCode;
}

const TStringList& TAdvHttp::ResponseHeaders() const
{
    return d->FResponseHeaders;
}

std::string TAdvHttp::ServerAddress() const
{
    std::lock_guard lock(d->FTextValuesLock);
    return d->FServerAddress;
}

DWORD TAdvHttp::BytesSent() const
{
    return d->FBytesSent;
}

DWORD TAdvHttp::BytesReceived() const
{
    return d->FBytesReceived;
}

DWORD TAdvHttp::TotalBytesReceived() const
{
    return d->FTotalBytesReceived;
}

DWORD TAdvHttp::ChunkPosition() const
{
    return d->FChunkPosition;
}

DWORD TAdvHttp::ChunkSize() const
{
    return d->FChunkSize;
}

DWORD TAdvHttp::BytesRead() const
{
    return d->FBytesRead;
}

std::string_view TAdvHttp::Chunk() const
{
    return d->FChunkBuffer ? std::string_view(d->FChunkBuffer.get(), d->FChunkSize) : std::string_view();
}

std::string TAdvHttp::RedirectURL() const
{
    std::lock_guard lock(d->FTextValuesLock);
    return d->FRedirectURL;
}

LPVOID TAdvHttp::StatusInfo() const
{
    return d->FStatusInfo;
}

DWORD TAdvHttp::StatusInfoLength() const
{
    return d->FStatusInfoLength;
}

bool TAdvHttp::Busy() const
{
    return d->FBusy;
}

// Only a plain decimal number within range counts (the library refuses a response with any
// other): a length the server garbled is as good as none. A length beside a transfer coding is
// ignored by the library, which reads the body by its chunks.
std::int64_t TAdvHttp::ContentLength() const
{
    if (!ResponseHeader("Transfer-Encoding").empty())
        return UnknownContentLength;
    const std::string text = ResponseHeader("Content-Length");
    std::int64_t length = 0;
    const char* end = text.data() + text.size();
    if (text.empty() || text.front() < '0' || text.front() > '9')
        return UnknownContentLength;
    const auto [stop, error] = std::from_chars(text.data(), end, length);
    return error == std::errc() && stop == end ? length : UnknownContentLength;
}

std::string TAdvHttp::ResponseHeader(const std::string& name) const
{
    std::string value;
    // The first line is the status line, which has no name.
    for (std::size_t i = 1; i < d->FResponseHeaders.Count(); ++i) {
        const std::string& line = d->FResponseHeaders[i];
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

bool TAdvHttp::ReleaseOnClose() const
{
    return d->FReleaseOnClose;
}

HANDLE TAdvHttp::CompletionEvent() const
{
    return d->FCompletionEvent;
}

DWORD TAdvHttp::RequestFlags() const
{
    return d->FRequestFlags;
}

void TAdvHttp::FireEvent(const TNotifyEvent& handler)
{
    d->FRoute.Fire(handler);
}

// A running request keeps its handles (a worker may be reading from them), and the next start
// reopens the Internet handle instead.
void TAdvHttp::Private::ReopenInternet()
{
    if (FInternet == nullptr)
        return;
    if (FBusy) {
        FInternetOutdated = true;
        return;
    }
    TPropertyWrite writing(*this);
    CloseInternet();
    // Without RaiseExceptions the failure stays recorded (LastError, OnError), and the next
    // start opens the handle again.
    if (!OpenInternet() && FRaiseExceptions)
        RaiseWriteFailure();
}

// Credentials written while a connection is open reach it at once (from OnNeedAuth, say).
void TAdvHttp::Private::SetConnectionOption(DWORD option, const std::string& value)
{
    if (FConnect == nullptr)
        return;
    InternetSetOptionA(FConnect, option, const_cast<char*>(value.data()), static_cast<DWORD>(value.size()));
}
