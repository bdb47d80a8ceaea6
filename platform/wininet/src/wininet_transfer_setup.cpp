// Setting up libcurl's easy handle for one request: the options that carry the request's
// flags, credentials, proxy and time-outs, and the callbacks through which libcurl reports to
// the Transfer.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fault_injection.h"
#include "wininet_driver.h"
#include "wininet_errors.h"
#include "wininet_transfer.h"

namespace wininet {

namespace {

constexpr long receiveBufferSize = 256 << 10;

// "http=proxy1:80 https=proxy2:8080", or one proxy for every scheme.
std::string proxyFor(const std::string& list, bool secure)
{
    std::string fallback;
    std::size_t position = 0;
    while (position < list.size()) {
        const std::size_t end = std::min(list.find_first_of(" ;", position), list.size());
        const std::string entry = list.substr(position, end - position);
        position = end + 1;
        if (entry.empty())
            continue;
        const std::size_t equals = entry.find('=');
        if (equals == std::string::npos) {
            fallback = entry;
            continue;
        }
        const std::string scheme = entry.substr(0, equals);
        if (scheme == (secure ? "https" : "http"))
            return entry.substr(equals + 1);
    }
    return fallback;
}

// The bypass list separates names with ";" or spaces; libcurl wants commas.
std::string bypassList(std::string list)
{
    std::replace(list.begin(), list.end(), ';', ',');
    std::replace(list.begin(), list.end(), ' ', ',');
    return list;
}

std::string preconfiguredBypass()
{
    const char* fromEnvironment = std::getenv("no_proxy");
    if (fromEnvironment == nullptr)
        fromEnvironment = std::getenv("NO_PROXY");
    std::string list = fromEnvironment != nullptr ? fromEnvironment : "";
    if (!list.empty())
        list += ',';
    return list + "localhost,127.0.0.1,::1";
}

// Accepts a certificate outside its validity dates, but still checks the issuer and the name.
CURLcode ignoreCertificateDates(CURL*, void* context, void*)
{
    X509_VERIFY_PARAM_set_flags(SSL_CTX_get0_param(static_cast<SSL_CTX*>(context)), X509_V_FLAG_NO_CHECK_TIME);
    return CURLE_OK;
}

Transfer* transferOf(void* pointer)
{
    return static_cast<Transfer*>(pointer);
}

size_t writeCallback(char* data, size_t size, size_t count, void* transfer)
{
    return transferOf(transfer)->onWrite(data, size * count);
}

size_t headerCallback(char* data, size_t size, size_t count, void* transfer)
{
    return transferOf(transfer)->onHeader(data, size * count);
}

int resolverStartCallback(void*, void*, void* transfer)
{
    transferOf(transfer)->onResolverStart();
    return 0;
}

std::string addressText(const curl_sockaddr* address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address->family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&address->addr)->sin_addr, text, sizeof text);
    else if (address->family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&address->addr)->sin6_addr, text, sizeof text);
    return text;
}

curl_socket_t openSocketCallback(void* transfer, curlsocktype purpose, curl_sockaddr* address)
{
    const curl_socket_t socket = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (socket != CURL_SOCKET_BAD && purpose == CURLSOCKTYPE_IPCXN)
        transferOf(transfer)->onSocketOpened(socket, addressText(address));
    return socket;
}

int prereqCallback(void* transfer, char* primaryAddress, char*, int, int localPort)
{
    transferOf(transfer)->onRequestReady(primaryAddress, localPort);
    return CURL_PREREQFUNC_OK;
}

int debugCallback(CURL*, curl_infotype type, char*, size_t size, void* transfer)
{
    if (type == CURLINFO_HEADER_OUT || type == CURLINFO_DATA_OUT)
        transferOf(transfer)->onBytesSent(size);
    // libcurl reports the secure handshake only here (its connect time-out would cover it
    // whole, 30 s against a server that never answers it).
    if (type == CURLINFO_SSL_DATA_OUT || type == CURLINFO_SSL_DATA_IN)
        transferOf(transfer)->onSecureData();
    return 0;
}

// Sets the options of one easy handle and keeps the first failure: once one fails, the rest are
// left alone and the transfer fails with that code, never runs without an option it asked for.
class Options {
public:
    explicit Options(CURL* easy)
        : m_easy(easy)
    {
    }

    template <class Value>
    Options& set(CURLoption option, Value value)
    {
        if (m_result != CURLE_OK)
            return *this;
        const bool injected = platform::fault::Injected(platform::fault::Kind::CurlSetup);
        m_result = injected ? CURLE_OUT_OF_MEMORY : curl_easy_setopt(m_easy, option, value);
        return *this;
    }
    Options& set(CURLoption option, const std::string& value) { return set(option, value.c_str()); }
    // A result of a setup step made elsewhere.
    void keep(int result)
    {
        if (m_result == CURLE_OK)
            m_result = static_cast<CURLcode>(result);
    }
    // 0, or the code the failed option gives the transfer.
    DWORD failure() const { return errorFromSetup(m_result); }

private:
    CURL* const m_easy;
    CURLcode m_result = CURLE_OK;
};

// The request itself: where it goes, its head and its body.
void configureRequest(Options& options, const TransferSetup& setup, curl_slist* headers, bool followRedirects)
{
    options.set(CURLOPT_URL, setup.url)
        .set(CURLOPT_PROTOCOLS_STR, "http,https")
        .set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https")
        .set(CURLOPT_NOSIGNAL, 1L)
        // The target goes out as the caller wrote it (already made safe), dot segments included.
        .set(CURLOPT_PATH_AS_IS, 1L)
        .set(CURLOPT_HTTP_VERSION, static_cast<long>(setup.http10 ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1))
        .set(CURLOPT_FOLLOWLOCATION, followRedirects ? 1L : 0L)
        .set(CURLOPT_MAXREDIRS, maxRedirects)
        .set(CURLOPT_HTTPHEADER, headers)
        .set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L)
        // Fewer, larger socket reads; libcurl still hands the body over in pieces of at most 16 KiB.
        .set(CURLOPT_BUFFERSIZE, receiveBufferSize);
    // The verb and the optional body, which may go with any verb. POST and PUT carry content, so
    // they state its length even when there is none (servers may refuse them without: 411).
    if (setup.hasBody || setup.verb == "POST" || setup.verb == "PUT") {
        options.set(CURLOPT_POSTFIELDSIZE, static_cast<long>(setup.body.size()))
            .set(CURLOPT_COPYPOSTFIELDS, setup.body);
        if (setup.verb != "POST")
            options.set(CURLOPT_CUSTOMREQUEST, setup.verb);
    } else if (setup.verb == "HEAD") {
        options.set(CURLOPT_NOBODY, 1L);
    } else if (setup.verb != "GET") {
        options.set(CURLOPT_CUSTOMREQUEST, setup.verb);
    }
}

// Who the request goes through and who it says it is: the proxy and the credentials.
void configureAccess(Options& options, const TransferSetup& setup)
{
    const HandleOptions& handleOptions = setup.options;
    const bool answerChallenges = (setup.flags & INTERNET_FLAG_NO_AUTH) == 0;
    if (answerChallenges && handleOptions.userName && !handleOptions.userName->empty()) {
        options.set(CURLOPT_USERNAME, *handleOptions.userName)
            .set(CURLOPT_PASSWORD, handleOptions.password.value_or(std::string()))
            .set(CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC | CURLAUTH_DIGEST));
    }
    const bool secure = (setup.flags & INTERNET_FLAG_SECURE) != 0;
    if (setup.accessType == INTERNET_OPEN_TYPE_PROXY) {
        std::string proxy = proxyFor(setup.proxy, secure);
        if (!proxy.empty() && proxy.find("://") == std::string::npos)
            proxy = "http://" + proxy;
        options.set(CURLOPT_PROXY, proxy);
        if (!setup.proxyBypass.empty())
            options.set(CURLOPT_NOPROXY, bypassList(setup.proxyBypass));
    } else if (setup.accessType == INTERNET_OPEN_TYPE_DIRECT) {
        options.set(CURLOPT_PROXY, "");
    }
    // INTERNET_OPEN_TYPE_PRECONFIG: libcurl reads http_proxy and https_proxy itself. The loopback
    // names are never sent through a proxy, as the system's own settings do; the bypass list
    // from no_proxy is kept (setting it here replaces what libcurl would read).
    if (setup.accessType == INTERNET_OPEN_TYPE_PRECONFIG)
        options.set(CURLOPT_NOPROXY, preconfiguredBypass());
    if (answerChallenges && handleOptions.proxyUserName && !handleOptions.proxyUserName->empty()) {
        options.set(CURLOPT_PROXYUSERNAME, *handleOptions.proxyUserName)
            .set(CURLOPT_PROXYPASSWORD, handleOptions.proxyPassword.value_or(std::string()))
            .set(CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC | CURLAUTH_DIGEST));
    }
}

// The trusted authorities: the handle's own, alone; else the system's, unless SSL_CERT_FILE /
// SSL_CERT_DIR name others, as for every OpenSSL program on this system.
void configureAuthorities(Options& options, const HandleOptions& handleOptions)
{
    const std::string own = handleOptions.certificateAuthorities.value_or(std::string());
    if (!own.empty()) {
        std::error_code error;
        const bool folder = std::filesystem::is_directory(own, error);
        // The other one is emptied, or libcurl's built-in bundle or folder would be trusted too.
        options.set(folder ? CURLOPT_CAPATH : CURLOPT_CAINFO, own)
            .set(folder ? CURLOPT_CAINFO : CURLOPT_CAPATH, static_cast<const char*>(nullptr));
        return;
    }
    if (const char* file = std::getenv("SSL_CERT_FILE"))
        options.set(CURLOPT_CAINFO, file);
    if (const char* folder = std::getenv("SSL_CERT_DIR"))
        options.set(CURLOPT_CAPATH, folder);
}

// The time-outs, the certificate checks and the client's certificate, and the session's store
// (the share: its connections always, its cookies unless the request says no; an empty cookie
// file name switches the cookie engine on, which a share alone does not).
void configureConnection(Options& options, const TransferSetup& setup, void* share)
{
    const HandleOptions& handleOptions = setup.options;
    options.set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeoutOf(handleOptions)))
        .set(CURLOPT_SSL_VERIFYPEER, 1L)
        .set(CURLOPT_SSL_VERIFYHOST, (setup.flags & INTERNET_FLAG_IGNORE_CERT_CN_INVALID) != 0 ? 0L : 2L);
    // What is left of the request's time; a re-send after it is up fails at once.
    if (setup.deadline) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*setup.deadline - std::chrono::steady_clock::now());
        options.set(CURLOPT_TIMEOUT_MS, std::max(1L, static_cast<long>(left.count())));
    }
    if ((setup.flags & INTERNET_FLAG_IGNORE_CERT_DATE_INVALID) != 0)
        options.set(CURLOPT_SSL_CTX_FUNCTION, ignoreCertificateDates);
    configureAuthorities(options, handleOptions);
    if (handleOptions.clientCertificate && !handleOptions.clientCertificate->empty())
        options.set(CURLOPT_SSLCERT, *handleOptions.clientCertificate);
    if (handleOptions.clientKey && !handleOptions.clientKey->empty())
        options.set(CURLOPT_SSLKEY, *handleOptions.clientKey);
    options.set(CURLOPT_SHARE, share);
    if ((setup.flags & INTERNET_FLAG_NO_COOKIES) == 0)
        options.set(CURLOPT_COOKIEFILE, "");
}

// The callbacks through which libcurl reports to the transfer.
void configureCallbacks(Options& options, Transfer* transfer)
{
    options.set(CURLOPT_PRIVATE, transfer)
        .set(CURLOPT_WRITEFUNCTION, writeCallback)
        .set(CURLOPT_WRITEDATA, transfer)
        .set(CURLOPT_HEADERFUNCTION, headerCallback)
        .set(CURLOPT_HEADERDATA, transfer)
        .set(CURLOPT_RESOLVER_START_FUNCTION, resolverStartCallback)
        .set(CURLOPT_RESOLVER_START_DATA, transfer)
        .set(CURLOPT_OPENSOCKETFUNCTION, openSocketCallback)
        .set(CURLOPT_OPENSOCKETDATA, transfer)
        .set(CURLOPT_PREREQFUNCTION, prereqCallback)
        .set(CURLOPT_PREREQDATA, transfer)
        // The debug hook is the only place libcurl tells how many bytes went out.
        .set(CURLOPT_DEBUGFUNCTION, debugCallback)
        .set(CURLOPT_DEBUGDATA, transfer)
        .set(CURLOPT_VERBOSE, 1L);
}

} // namespace

DWORD Transfer::configure(const TransferSetup& setup, void* share, Driver& driver)
{
    for (const std::string& header : setup.headers) {
        if (!curl::append(m_headerList, header.c_str()))
            return ERROR_NOT_ENOUGH_MEMORY;
    }
    Options options(m_easy.get()); // new for this transfer
    configureRequest(options, setup, m_headerList.get(), m_progress.followRedirects);
    configureAccess(options, setup);
    configureConnection(options, setup, share);
    configureCallbacks(options, this);
    if (options.failure() == ERROR_SUCCESS)
        options.keep(driver.configureSockets(m_easy.get()));
    // The receive time-out is kept here (silentTooLong): libcurl's low-speed check only counts
    // whole seconds and averages, so a stall would be noticed seconds late.
    m_progress.receiveTimeout = std::chrono::milliseconds(receiveTimeoutOf(setup.options));
    return options.failure();
}

} // namespace wininet
