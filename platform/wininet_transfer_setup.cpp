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
#include <cstdlib>
#include <string>

#include "wininet_session.h"
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
    return 0;
}

void setOption(CURL* easy, CURLoption option, long value)
{
    curl_easy_setopt(easy, option, value);
}

void setOption(CURL* easy, CURLoption option, const std::string& value)
{
    curl_easy_setopt(easy, option, value.c_str());
}

} // namespace

// libcurl keeps the cookie file names given to an easy handle in a list, and an entry of it
// could be left behind at cleanup (LeakSanitizer showed it).
// Clearing the list by hand frees it and keeps the cookies, which belong to the share.
void forgetCookieFiles(void* easy)
{
    curl_easy_setopt(easy, CURLOPT_COOKIEFILE, static_cast<char*>(nullptr));
}

void Transfer::configure(const TransferSetup& setup, void* share)
{
    CURL* easy = m_easy; // new for this transfer
    curl_slist_free_all(static_cast<curl_slist*>(m_headerList));
    curl_slist* headers = nullptr;
    for (const std::string& header : setup.headers)
        headers = curl_slist_append(headers, header.c_str());
    m_headerList = headers;

    curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
    setOption(easy, CURLOPT_URL, setup.url);
    setOption(easy, CURLOPT_PROTOCOLS_STR, std::string("http,https"));
    setOption(easy, CURLOPT_REDIR_PROTOCOLS_STR, std::string("http,https"));
    setOption(easy, CURLOPT_NOSIGNAL, 1L);
    // The target goes out as the caller wrote it (already made safe), dot segments included.
    setOption(easy, CURLOPT_PATH_AS_IS, 1L);
    setOption(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    setOption(easy, CURLOPT_FOLLOWLOCATION, m_followRedirects ? 1L : 0L);
    setOption(easy, CURLOPT_MAXREDIRS, maxRedirects);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    setOption(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    // Fewer, larger socket reads; libcurl still hands the body over in pieces of at most 16 KiB.
    setOption(easy, CURLOPT_BUFFERSIZE, receiveBufferSize);

    // The verb and the optional body, which may go with any verb.
    if (setup.hasBody) {
        setOption(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(setup.body.size()));
        setOption(easy, CURLOPT_COPYPOSTFIELDS, setup.body);
        if (setup.verb != "POST")
            setOption(easy, CURLOPT_CUSTOMREQUEST, setup.verb);
    } else if (setup.verb == "HEAD") {
        setOption(easy, CURLOPT_NOBODY, 1L);
    } else if (setup.verb != "GET") {
        setOption(easy, CURLOPT_CUSTOMREQUEST, setup.verb);
    }

    const HandleOptions& options = setup.options;
    const bool answerChallenges = (setup.flags & INTERNET_FLAG_NO_AUTH) == 0;
    if (answerChallenges && options.userName && !options.userName->empty()) {
        setOption(easy, CURLOPT_USERNAME, *options.userName);
        setOption(easy, CURLOPT_PASSWORD, options.password.value_or(std::string()));
        setOption(easy, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC | CURLAUTH_DIGEST));
    }
    const bool secure = (setup.flags & INTERNET_FLAG_SECURE) != 0;
    if (setup.accessType == INTERNET_OPEN_TYPE_PROXY) {
        std::string proxy = proxyFor(setup.proxy, secure);
        if (!proxy.empty() && proxy.find("://") == std::string::npos)
            proxy = "http://" + proxy;
        setOption(easy, CURLOPT_PROXY, proxy);
        if (!setup.proxyBypass.empty())
            setOption(easy, CURLOPT_NOPROXY, bypassList(setup.proxyBypass));
    } else if (setup.accessType == INTERNET_OPEN_TYPE_DIRECT) {
        setOption(easy, CURLOPT_PROXY, std::string());
    }
    // INTERNET_OPEN_TYPE_PRECONFIG: libcurl reads http_proxy and https_proxy itself. The loopback
    // names are never sent through a proxy, as the system's own settings do; the bypass list
    // from no_proxy is kept (setting it here replaces what libcurl would read).
    if (setup.accessType == INTERNET_OPEN_TYPE_PRECONFIG)
        setOption(easy, CURLOPT_NOPROXY, preconfiguredBypass());
    if (answerChallenges && options.proxyUserName && !options.proxyUserName->empty()) {
        setOption(easy, CURLOPT_PROXYUSERNAME, *options.proxyUserName);
        setOption(easy, CURLOPT_PROXYPASSWORD, options.proxyPassword.value_or(std::string()));
        setOption(easy, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC | CURLAUTH_DIGEST));
    }

    setOption(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connectTimeout.value_or(defaultConnectTimeout())));
    // The receive time-out is kept here (silentTooLong): libcurl's low-speed check only counts
    // whole seconds and averages, so a stall would be noticed seconds late.
    m_receiveTimeout = std::chrono::milliseconds(options.receiveTimeout.value_or(defaultReceiveTimeout()));

    setOption(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    setOption(easy, CURLOPT_SSL_VERIFYHOST, (setup.flags & INTERNET_FLAG_IGNORE_CERT_CN_INVALID) != 0 ? 0L : 2L);
    if ((setup.flags & INTERNET_FLAG_IGNORE_CERT_DATE_INVALID) != 0)
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, ignoreCertificateDates);
    // The trusted authorities: the system's, unless SSL_CERT_FILE / SSL_CERT_DIR name others,
    // as for every OpenSSL program on this system.
    if (const char* file = std::getenv("SSL_CERT_FILE"))
        curl_easy_setopt(easy, CURLOPT_CAINFO, file);
    if (const char* folder = std::getenv("SSL_CERT_DIR"))
        curl_easy_setopt(easy, CURLOPT_CAPATH, folder);

    // The session's cookie store is the share; an empty cookie file name switches the engine on.
    curl_easy_setopt(easy, CURLOPT_SHARE, share);
    if (share != nullptr)
        curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");

    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, writeCallback);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, headerCallback);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_RESOLVER_START_FUNCTION, resolverStartCallback);
    curl_easy_setopt(easy, CURLOPT_RESOLVER_START_DATA, this);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, openSocketCallback);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, prereqCallback);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, this);
    // The debug hook is the only place libcurl tells how many bytes went out.
    curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, debugCallback);
    curl_easy_setopt(easy, CURLOPT_DEBUGDATA, this);
    setOption(easy, CURLOPT_VERBOSE, 1L);
    m_driver->configureSockets(easy);
}

} // namespace wininet
