// TAdvHttp, continued: the public operations, each done by the private part (uAdvHttpPrivate.h),
// so that the class keeps one pointer as its only data.
#include "uAdvHttpPrivate.h"

std::int32_t TAdvHttp::ConnectTimeout() const
{
    return d->ConnectTimeout();
}

void TAdvHttp::SetConnectTimeout(std::int32_t milliseconds)
{
    d->SetConnectTimeout(milliseconds);
}

bool TAdvHttp::RaiseExceptions() const
{
    return d->RaiseExceptions();
}

void TAdvHttp::SetRaiseExceptions(bool raise)
{
    d->SetRaiseExceptions(raise);
}

const std::string& TAdvHttp::UserAgent() const
{
    return d->UserAgent();
}

void TAdvHttp::SetUserAgent(const std::string& agent)
{
    d->SetUserAgent(agent);
}

const std::string& TAdvHttp::Proxy() const
{
    return d->Proxy();
}

void TAdvHttp::SetProxy(const std::string& proxy)
{
    d->SetProxy(proxy);
}

bool TAdvHttp::SSL() const
{
    return d->SSL();
}

void TAdvHttp::SetSSL(bool ssl)
{
    d->SetSSL(ssl);
}

const std::string& TAdvHttp::URL() const
{
    return d->URL();
}

void TAdvHttp::SetURL(const std::string& url)
{
    d->SetURL(url);
}

const std::string& TAdvHttp::URLPath() const
{
    return d->URLPath();
}

void TAdvHttp::SetURLPath(const std::string& path)
{
    d->SetURLPath(path);
}

const std::string& TAdvHttp::ExtraInfo() const
{
    return d->ExtraInfo();
}

void TAdvHttp::SetExtraInfo(const std::string& extraInfo)
{
    d->SetExtraInfo(extraInfo);
}

std::int32_t TAdvHttp::Port() const
{
    return d->Port();
}

void TAdvHttp::SetPort(std::int32_t port)
{
    d->SetPort(port);
}

const std::string& TAdvHttp::UserName() const
{
    return d->UserName();
}

void TAdvHttp::SetUserName(const std::string& userName)
{
    d->SetUserName(userName);
}

const std::string& TAdvHttp::Password() const
{
    return d->Password();
}

void TAdvHttp::SetPassword(const std::string& password)
{
    d->SetPassword(password);
}

const std::string& TAdvHttp::ProxyUserName() const
{
    return d->ProxyUserName();
}

void TAdvHttp::SetProxyUserName(const std::string& userName)
{
    d->SetProxyUserName(userName);
}

const std::string& TAdvHttp::ProxyPassword() const
{
    return d->ProxyPassword();
}

void TAdvHttp::SetProxyPassword(const std::string& password)
{
    d->SetProxyPassword(password);
}

const std::string& TAdvHttp::HostName() const
{
    return d->HostName();
}

void TAdvHttp::SetHostName(const std::string& hostName)
{
    d->SetHostName(hostName);
}

bool TAdvHttp::DefaultUi() const
{
    return d->DefaultUi();
}

void TAdvHttp::SetDefaultUi(bool defaultUi)
{
    d->SetDefaultUi(defaultUi);
}

const TStringList& TAdvHttp::RequestHeaders() const
{
    return d->RequestHeaders();
}

void TAdvHttp::SetRequestHeaders(const TStringList& headers)
{
    d->SetRequestHeaders(headers);
}

const TStringList& TAdvHttp::AcceptTypes() const
{
    return d->AcceptTypes();
}

void TAdvHttp::SetAcceptTypes(const TStringList& types)
{
    d->SetAcceptTypes(types);
}

const std::string& TAdvHttp::Method() const
{
    return d->Method();
}

void TAdvHttp::SetMethod(const std::string& method)
{
    d->SetMethod(method);
}

std::string TAdvHttp::Text() const
{
    return d->Text();
}

const std::string& TAdvHttp::ResponseBody() const
{
    return d->ResponseBody();
}

void TAdvHttp::SetText(const std::string& requestBody)
{
    d->SetText(requestBody);
}

std::int32_t TAdvHttp::AuthRetries() const
{
    return d->AuthRetries();
}

void TAdvHttp::SetAuthRetries(std::int32_t retries)
{
    d->SetAuthRetries(retries);
}

TInternetFlags TAdvHttp::InternetFlags() const
{
    return d->InternetFlags();
}

void TAdvHttp::SetInternetFlags(TInternetFlags flags)
{
    d->SetInternetFlags(flags);
}

DWORD TAdvHttp::ReceiveTimeout() const
{
    return d->ReceiveTimeout();
}

void TAdvHttp::SetReceiveTimeout(DWORD milliseconds)
{
    d->SetReceiveTimeout(milliseconds);
}

DWORD TAdvHttp::RequestTimeout() const
{
    return d->RequestTimeout();
}

void TAdvHttp::SetRequestTimeout(DWORD milliseconds)
{
    d->SetRequestTimeout(milliseconds);
}

bool TAdvHttp::KeepResponseBody() const
{
    return d->KeepResponseBody();
}

void TAdvHttp::SetKeepResponseBody(bool keep)
{
    d->SetKeepResponseBody(keep);
}

std::size_t TAdvHttp::ResponseBodyLimit() const
{
    return d->ResponseBodyLimit();
}

void TAdvHttp::SetResponseBodyLimit(std::size_t bytes)
{
    d->SetResponseBodyLimit(bytes);
}

const std::string& TAdvHttp::CertificateAuthorities() const
{
    return d->CertificateAuthorities();
}

void TAdvHttp::SetCertificateAuthorities(const std::string& fileOrFolder)
{
    d->SetCertificateAuthorities(fileOrFolder);
}

const std::string& TAdvHttp::ClientCertificate() const
{
    return d->ClientCertificate();
}

void TAdvHttp::SetClientCertificate(const std::string& file)
{
    d->SetClientCertificate(file);
}

const std::string& TAdvHttp::ClientKey() const
{
    return d->ClientKey();
}

void TAdvHttp::SetClientKey(const std::string& file)
{
    d->SetClientKey(file);
}

TEventThread TAdvHttp::EventThread() const
{
    return d->EventThread();
}

void TAdvHttp::SetEventThread(TEventThread thread)
{
    d->SetEventThread(thread);
}

DWORD TAdvHttp::LastError() const
{
    return d->LastError();
}

DWORD TAdvHttp::StatusCode() const
{
    return d->StatusCode();
}

const TStringList& TAdvHttp::ResponseHeaders() const
{
    return d->ResponseHeaders();
}

std::string TAdvHttp::ServerAddress() const
{
    return d->ServerAddress();
}

DWORD TAdvHttp::BytesSent() const
{
    return d->BytesSent();
}

DWORD TAdvHttp::BytesReceived() const
{
    return d->BytesReceived();
}

DWORD TAdvHttp::TotalBytesReceived() const
{
    return d->TotalBytesReceived();
}

DWORD TAdvHttp::ChunkPosition() const
{
    return d->ChunkPosition();
}

DWORD TAdvHttp::ChunkSize() const
{
    return d->ChunkSize();
}

DWORD TAdvHttp::BytesRead() const
{
    return d->BytesRead();
}

std::string_view TAdvHttp::Chunk() const
{
    return d->Chunk();
}

std::string TAdvHttp::RedirectURL() const
{
    return d->RedirectURL();
}

LPVOID TAdvHttp::StatusInfo() const
{
    return d->StatusInfo();
}

DWORD TAdvHttp::StatusInfoLength() const
{
    return d->StatusInfoLength();
}

bool TAdvHttp::Busy() const
{
    return d->Busy();
}

std::int64_t TAdvHttp::ContentLength() const
{
    return d->ContentLength();
}

std::string TAdvHttp::ResponseHeader(const std::string& name) const
{
    return d->ResponseHeader(name);
}

bool TAdvHttp::ReleaseOnClose() const
{
    return d->ReleaseOnClose();
}

void TAdvHttp::SetReleaseOnClose(bool release)
{
    d->SetReleaseOnClose(release);
}

HANDLE TAdvHttp::CompletionEvent() const
{
    return d->CompletionEvent();
}

DWORD TAdvHttp::RequestFlags() const
{
    return d->RequestFlags();
}

bool TAdvHttp::Execute(bool synchronous)
{
    return d->Execute(synchronous);
}

void TAdvHttp::Cancel()
{
    d->Cancel();
}

void TAdvHttp::PostRelease()
{
    d->PostRelease();
}

std::string TAdvHttp::ErrorText(DWORD code) const
{
    return d->ErrorText(code);
}

void TAdvHttp::FireEvent(const TNotifyEvent& handler)
{
    d->FireEvent(handler);
}
