// Request handles: opening, sending, the response's status and headers, the body, and the
// application's credential prompt.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <curl/curl.h>

#include "ascii_text.h"
#include "errhandlingapi.h"
#include "wininet_curl.h"
#include "wininet_response_head.h"
#include "wininet_session.h"
#include "wininet_transfer.h"

namespace wininet {

namespace {

bool hasHeader(const std::vector<std::string>& headers, std::string_view name)
{
    return std::any_of(headers.begin(), headers.end(),
                       [name](const std::string& header) { return fieldValue(header, name).has_value(); });
}

// The request target as it goes on the wire: the fragment dropped, and bytes that can't stand
// in a target (space, control bytes, bytes from 0x80) percent-encoded; %XX stays as written.
std::string requestTarget(const char* objectName)
{
    std::string target;
    const char* name = objectName != nullptr && *objectName != '\0' ? objectName : "/";
    if (*name != '/')
        target += '/';
    for (const char* p = name; *p != '\0' && *p != '#'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c <= 0x20 || c >= 0x7F) {
            target += '%';
            platform::ascii::appendHex(target, c);
        } else {
            target += *p;
        }
    }
    return target;
}

bool isTokenCharacter(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte < 0x7F && std::strchr("\"(),/:;<=>?@[\\]{}", c) == nullptr;
}

// A verb goes into the request line as it is: a blank, CR or LF would change that line or add
// others.
bool isToken(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), isTokenCharacter);
}

// A header value holds no control byte but tab: a CR, LF or NUL inside would end the line on
// the wire and start another.
bool isHeaderValue(std::string_view value)
{
    return std::none_of(value.begin(), value.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && c != '\t') || byte == 0x7F;
    });
}

// A caller's header line: a name that is a token, a colon, and a header value.
bool isHeaderLine(const std::string& line)
{
    const std::size_t colon = line.find(':');
    if (colon == 0 || colon == std::string::npos)
        return false;
    for (std::size_t i = 0; i < colon; ++i) {
        if (!isTokenCharacter(line[i]))
            return false;
    }
    return isHeaderValue(std::string_view(line).substr(colon + 1));
}

// What the layer itself puts into the head (the agent, accept types, referrer, and credentials,
// which a digest answer quotes as they are) holds header values only.
bool isSafeHead(const std::string& agent, const std::string& accept, const std::string& referrer,
                const HandleOptions& options)
{
    const auto safe = [](const std::optional<std::string>& value) { return !value || isHeaderValue(*value); };
    return isHeaderValue(agent) && isHeaderValue(accept) && isHeaderValue(referrer) && safe(options.userName) &&
           safe(options.password) && safe(options.proxyUserName) && safe(options.proxyPassword);
}

// The caller's extra headers: lines ended by CR LF (or LF); length -1 (or 0) means up to the NUL.
// Empty lines are skipped; false when a line is no header line.
bool splitHeaders(LPCSTR headers, DWORD length, std::vector<std::string>& lines)
{
    if (headers == nullptr)
        return true;
    const std::size_t size = (length == 0 || length == static_cast<DWORD>(-1)) ? std::strlen(headers) : length;
    std::size_t position = 0;
    while (position < size) {
        std::size_t end = position;
        while (end < size && headers[end] != '\n' && headers[end] != '\0')
            ++end;
        std::string line(headers + position, end - position);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && !isHeaderLine(line))
            return false;
        if (!line.empty())
            lines.push_back(std::move(line));
        if (end < size && headers[end] == '\0')
            break;
        position = end + 1;
    }
    return true;
}

// A host name outside ASCII in its ASCII-compatible form ("bücher.example" in UTF-8:
// "xn--bcher-kva.example"), converted by libidn2 through libcurl's URL parser; an ASCII name
// as it is. Empty when the name can't be converted.
std::string asciiCompatibleHost(const std::string& host)
{
    if (std::all_of(host.begin(), host.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return host;
    const curl::Url url = curl::newUrl();
    const std::string text = "http://" + host + "/";
    char* converted = nullptr;
    std::string ascii;
    if (url && curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) == CURLUE_OK &&
        curl_url_get(url.get(), CURLUPART_HOST, &converted, CURLU_PUNYCODE) == CURLUE_OK)
        ascii = converted;
    curl_free(converted);
    return ascii;
}

bool hasValue(const std::string& header)
{
    return header.find_first_not_of(" \t", header.find(':') + 1) != std::string::npos;
}

} // namespace

class Request : public HandleObject {
public:
    Request(std::shared_ptr<Connection> connection, std::string verb, std::string target, bool http10,
            std::string referrer, std::string accept, DWORD flags, DWORD_PTR context)
        : HandleObject(HandleKind::Request, context, connection)
        , m_connection(std::move(connection))
        , m_verb(std::move(verb))
        , m_target(std::move(target))
        , m_http10(http10)
        , m_referrer(std::move(referrer))
        , m_accept(std::move(accept))
        , m_flags(flags)
        , m_transfer(std::make_shared<Transfer>(m_connection->session()->shared(), m_connection->session()->driver(),
                                                context))
    {
    }

    Transfer& transfer() { return *m_transfer; }
    void attachHandle() { m_transfer->setHandle(handle()); }

    // False (with the last error set) when the caller's headers are no header lines.
    bool setup(LPCSTR headers, DWORD headersLength, LPVOID optional, DWORD optionalLength, TransferSetup& setup) const
    {
        std::vector<std::string> extra;
        const Session& session = *m_connection->session();
        const HandleOptions options = effectiveOptions();
        // The body's framing is the layer's: a caller's Transfer-Encoding would announce chunks
        // that never come.
        if (!splitHeaders(headers, headersLength, extra) || !isSafeHead(session.agent, m_accept, m_referrer, options) ||
            !isToken(m_verb) || hasHeader(extra, "Transfer-Encoding")) {
            SetLastError(ERROR_HTTP_INVALID_HEADER);
            return false;
        }
        const bool secure = (m_flags & INTERNET_FLAG_SECURE) != 0;
        const INTERNET_PORT defaultPort = secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
        const INTERNET_PORT port = m_connection->port != 0 ? m_connection->port : defaultPort;
        const std::string host = asciiCompatibleHost(m_connection->host);
        if (host.empty()) {
            SetLastError(ERROR_INTERNET_INVALID_URL);
            return false;
        }
        // An IPv6 address goes into the URL in brackets, given bare ("::1") or bracketed ("[::1]").
        const std::string literal = platform::ascii::hostInUrl(host);
        const std::string authority = port == defaultPort ? literal : literal + ":" + std::to_string(port);

        setup.url = (secure ? "https://" : "http://") + authority + m_target;
        setup.hostName = m_connection->host; // as the caller wrote it, for the notifications
        setup.verb = m_verb;
        setup.http10 = m_http10;
        setup.hasBody = optional != nullptr && optionalLength > 0;
        if (setup.hasBody)
            setup.body.assign(static_cast<const char*>(optional), optionalLength);
        setup.flags = m_flags;
        setup.options = options;
        setup.accessType = session.accessType;
        setup.proxy = session.proxy;
        setup.proxyBypass = session.proxyBypass;
        setup.headers = head(session, extra);
        return true;
    }

protected:
    bool closeResources() override { return m_transfer->cancel(); }

private:
    // The head goes out small and in this order: Host, User-Agent, Accept, Referer, the
    // caller's headers, Pragma, Connection. Host is libcurl's (first, the port written unless it
    // is the scheme's): made for each request it sends, so a redirect to another port of the
    // same host names that port (a Host line of ours would be kept for any redirect on the same
    // host name). A caller's header replaces ours of that name, and
    // the caller's go out as written, repeats included. Content-Length is the exception: libcurl
    // states the body's true length itself (after these), because only it knows when a body is
    // left out (authentication probes, redirects), so a caller's value is dropped.
    // For libcurl, "Name:" stops it from adding a header of its own and "Name;" sends an empty one.
    std::vector<std::string> head(const Session& session, const std::vector<std::string>& extra) const
    {
        std::vector<std::string> headers;
        auto ours = [&](const char* name, const std::string& line) {
            if (!hasHeader(extra, name))
                headers.push_back(line);
        };
        if (!session.agent.empty())
            ours("User-Agent", "User-Agent: " + session.agent);
        ours("Accept", m_accept.empty() ? "Accept:" : "Accept: " + m_accept);
        if (!m_referrer.empty())
            ours("Referer", "Referer: " + m_referrer);
        for (const std::string& line : extra) {
            if (hasHeader({line}, "Content-Length"))
                continue;
            headers.push_back(hasValue(line) ? line : line.substr(0, line.find(':')) + ";");
        }
        if ((m_flags & INTERNET_FLAG_PRAGMA_NOCACHE) != 0)
            ours("Pragma", "Pragma: no-cache");
        ours("Connection", "Connection: Keep-Alive");
        ours("Expect", "Expect:");
        ours("Content-Type", "Content-Type:");
        return headers;
    }

    const std::shared_ptr<Connection> m_connection;
    const std::string m_verb;
    const std::string m_target;
    const bool m_http10;
    const std::string m_referrer;
    const std::string m_accept;
    const DWORD m_flags;
    const std::shared_ptr<Transfer> m_transfer;
};

namespace {

std::string acceptList(LPCSTR* acceptTypes)
{
    std::string list;
    for (LPCSTR* type = acceptTypes; type != nullptr && *type != nullptr && **type != '\0'; ++type) {
        if (!list.empty())
            list += ", ";
        list += *type;
    }
    return list;
}

BOOL fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

BOOL finishCall(DWORD error)
{
    if (error != 0)
        return fail(error);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL copyText(const std::string& text, LPVOID buffer, LPDWORD bufferLength)
{
    if (buffer == nullptr || *bufferLength < text.size() + 1) {
        *bufferLength = static_cast<DWORD>(text.size() + 1);
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    *bufferLength = static_cast<DWORD>(text.size());
    return TRUE;
}

BOOL copyNumber(DWORD value, LPVOID buffer, LPDWORD bufferLength)
{
    if (buffer == nullptr || *bufferLength < sizeof value) {
        *bufferLength = sizeof value;
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buffer, &value, sizeof value);
    *bufferLength = sizeof value;
    return TRUE;
}

std::mutex hookMutex;
// Never destroyed: a request's thread may ask for the prompt while the process ends.
InternetErrorDlgHook& errorDialogHook()
{
    static InternetErrorDlgHook* const hook = new InternetErrorDlgHook;
    return *hook;
}

} // namespace

} // namespace wininet

using namespace wininet;

HINTERNET HttpOpenRequestA(HINTERNET connection, LPCSTR verb, LPCSTR objectName, LPCSTR version,
                           LPCSTR referrer, LPCSTR* acceptTypes, DWORD flags, DWORD_PTR context)
{
    const auto parent = findHandleOf<Connection>(connection, HandleKind::Connection);
    if (!parent)
        return nullptr;
    const std::string method = verb != nullptr && *verb != '\0' ? verb : "GET";
    // HTTP/1.0 when asked for; any other version (none, "HTTP/1.1", or one libcurl can't speak
    // over this setup) goes out as HTTP/1.1.
    const bool http10 = version != nullptr && platform::ascii::equalIgnoringCase(version, "HTTP/1.0");
    auto request = std::make_shared<Request>(parent, method, requestTarget(objectName), http10,
                                             referrer != nullptr ? referrer : "", acceptList(acceptTypes), flags,
                                             context);
    HINTERNET handle = registerHandle(request);
    request->attachHandle();
    return handle;
}

BOOL HttpSendRequestA(HINTERNET request, LPCSTR headers, DWORD headersLength, LPVOID optional, DWORD optionalLength)
{
    const auto object = findHandleOf<Request>(request, HandleKind::Request);
    if (!object)
        return FALSE;
    TransferSetup setup;
    if (!object->setup(headers, headersLength, optional, optionalLength, setup))
        return FALSE;
    return finishCall(object->transfer().send(std::move(setup)));
}

namespace wininet {
namespace {

// One level of the response (status, block), as HttpQueryInfoA answers it.
BOOL answerQuery(long status, const std::string& block, DWORD infoLevel, LPVOID buffer, LPDWORD bufferLength)
{
    const bool asNumber = (infoLevel & HTTP_QUERY_FLAG_NUMBER) != 0;
    std::string text;
    switch (infoLevel & 0xFFFF) {
    case HTTP_QUERY_STATUS_CODE:
        if (asNumber)
            return copyNumber(static_cast<DWORD>(status), buffer, bufferLength);
        text = std::to_string(status);
        break;
    case HTTP_QUERY_STATUS_TEXT:
        text = statusTextOf(block);
        break;
    case HTTP_QUERY_RAW_HEADERS_CRLF:
        text = block;
        break;
    case HTTP_QUERY_RAW_HEADERS: {
        const std::string lines = nulSeparated(block);
        if (buffer == nullptr || *bufferLength < lines.size()) {
            *bufferLength = static_cast<DWORD>(lines.size());
            return fail(ERROR_INSUFFICIENT_BUFFER);
        }
        std::memcpy(buffer, lines.data(), lines.size());
        *bufferLength = static_cast<DWORD>(lines.size() - 1);
        return TRUE;
    }
    case HTTP_QUERY_CONTENT_LENGTH: {
        std::optional<std::string> length = findField(block, "Content-Length");
        if (!length)
            return fail(ERROR_HTTP_HEADER_NOT_FOUND);
        text = std::move(*length);
        if (asNumber)
            return copyNumber(static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 10)), buffer, bufferLength);
        break;
    }
    default:
        return fail(ERROR_HTTP_INVALID_QUERY_REQUEST);
    }
    return copyText(text, buffer, bufferLength);
}

} // namespace
} // namespace wininet

BOOL HttpQueryInfoA(HINTERNET request, DWORD infoLevel, LPVOID buffer, LPDWORD bufferLength, LPDWORD index)
{
    const auto object = findHandleOf<Request>(request, HandleKind::Request);
    if (!object)
        return FALSE;
    if (bufferLength == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    long status = 0;
    std::string block;
    if (!object->transfer().response(status, block))
        return fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    // Each level holds one value: index 0 is it, and a found value moves the index past it, so a
    // caller's loop over the values of a name ends.
    if (index != nullptr && *index != 0)
        return fail(ERROR_HTTP_HEADER_NOT_FOUND);
    if (!answerQuery(status, block, infoLevel, buffer, bufferLength))
        return FALSE;
    if (index != nullptr)
        ++*index;
    return TRUE;
}

BOOL InternetReadFile(HINTERNET file, LPVOID buffer, DWORD numberOfBytesToRead, LPDWORD numberOfBytesRead)
{
    const auto object = findHandleOf<Request>(file, HandleKind::Request);
    if (!object)
        return FALSE;
    if (numberOfBytesRead == nullptr || (buffer == nullptr && numberOfBytesToRead > 0))
        return fail(ERROR_INVALID_PARAMETER);
    return finishCall(object->transfer().read(static_cast<char*>(buffer), numberOfBytesToRead, numberOfBytesRead));
}

DWORD InternetErrorDlg(HWND parent, HINTERNET request, DWORD error, DWORD flags, LPVOID* /*data*/)
{
    const auto object = findHandleOf<Request>(request, HandleKind::Request);
    if (!object)
        return ERROR_INVALID_HANDLE;
    long status = 0;
    std::string block;
    const bool answered = object->transfer().response(status, block);
    const bool challenge = answered && (status == 401 || status == 407);
    if ((flags & FLAGS_ERROR_UI_FILTER_FOR_ERRORS) != 0 && error == ERROR_SUCCESS && !challenge)
        return ERROR_SUCCESS;
    if (!challenge || (flags & FLAGS_ERROR_UI_FLAGS_NO_UI) != 0)
        return ERROR_CANCELLED;
    InternetErrorDlgHook hook;
    {
        std::lock_guard lock(hookMutex);
        hook = errorDialogHook();
    }
    if (!hook)
        return ERROR_CANCELLED;
    return hook(parent, request, static_cast<DWORD>(status));
}

InternetErrorDlgHook SetInternetErrorDlgHook(InternetErrorDlgHook hook)
{
    std::lock_guard lock(hookMutex);
    InternetErrorDlgHook previous = std::move(errorDialogHook());
    errorDialogHook() = std::move(hook);
    return previous;
}
