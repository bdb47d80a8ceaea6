/// @file
/// The Internet client operations: handles for a session, a connection and a request, URL
/// splitting and combining, status notifications and error codes, under their usual names,
/// signatures and conventions (BOOL or handle results, the reason in GetLastError()).
/// libcurl does the network work underneath; nothing of it shows here.
///
/// @code
/// HINTERNET session = InternetOpenA("agent", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
/// HINTERNET connection = InternetConnectA(session, "example.test", 80, nullptr, nullptr,
///                                         INTERNET_SERVICE_HTTP, 0, 0);
/// HINTERNET request = HttpOpenRequestA(connection, "GET", "/", nullptr, nullptr, nullptr, 0, 0);
/// if (HttpSendRequestA(request, nullptr, 0, nullptr, 0)) { ... InternetReadFile(...) ... }
/// InternetCloseHandle(request); InternetCloseHandle(connection); InternetCloseHandle(session);
/// @endcode
///
/// Threads. Any call may come from any thread. A synchronous Internet handle has no thread of its
/// own: the blocked caller does the network work, and every status notification of a call is
/// delivered on the caller's thread, inside that call (notifications gathered while nobody waited,
/// such as the closing of a connection after the body, come with the next call on the request).
/// Asynchronous handles (INTERNET_FLAG_ASYNC) share a few threads of the layer (as many as the
/// processors, at most four; none while no such handle is open, but for a few that wait up to two
/// seconds for more work), each handle always served by the same one, so a status callback that
/// blocks holds up the handles that share its thread.
/// HttpSendRequestA and a read that finds no data fail with ERROR_IO_PENDING, and that thread
/// later delivers INTERNET_STATUS_REQUEST_COMPLETE with an INTERNET_ASYNC_RESULT ({1, 0} or
/// {0, error}); a pending read's count is stored in the caller's variable before it. Status
/// callbacks are called with no lock held and may call any operation. Handles opened with
/// context 0 get no notifications.
///
/// Endings. INTERNET_STATUS_HANDLE_CLOSING is the last notification a request handle ever gets.
/// It comes on the thread that closes the handle, inside InternetCloseHandle; but when another
/// thread is inside a status callback of that request at that moment, InternetCloseHandle
/// returns at once and that thread sends it as soon as its callback has returned. A connection
/// closing later is reported only to a request handle that is still open.
///
/// What a response reports: INTERNET_STATUS_INTERMEDIATE_RESPONSE (the status code as a DWORD)
/// for each interim answer (1xx); one RECEIVING_RESPONSE / RESPONSE_RECEIVED pair for each
/// response head (inside HttpSendRequestA; a followed redirect or answered challenge has its
/// own); then one pair for each InternetReadFile that hands over data, RESPONSE_RECEIVED carrying
/// the count that call returned.
///
/// Connections. Each Internet handle keeps its own: a request reuses an idle keep-alive
/// connection to the same server that an earlier request of the same Internet handle left,
/// never one of another Internet handle (its cookies stay its own likewise), and closing the
/// Internet handle closes its connections. There is no process-wide pool shared by every handle
/// and no limit of connections per server (the layer has no INTERNET_OPTION_MAX_CONNS_PER_SERVER):
/// a program that opens a thousand requests at once, on one handle or on many, gets a
/// connection for each, and one handle's slow server never holds up another handle's requests.
///
/// Closing a handle ends a call blocked on it (on another thread) with
/// ERROR_INTERNET_OPERATION_CANCELLED; closing the Internet handle closes every handle under it.
/// The body of a response is read ahead into a bounded buffer (the transfer waits while the
/// reader is behind). Trusted certificate authorities: the system's, or those named by the
/// SSL_CERT_FILE / SSL_CERT_DIR environment variables as for any OpenSSL program, unless a handle
/// names its own (INTERNET_OPTION_CA_CERTIFICATES). A host name outside ASCII ("bücher.example",
/// in UTF-8) goes to the network and into the Host header in its ASCII-compatible form
/// ("xn--bcher-kva.example").
#pragma once

#include <functional>

#include "dorvane_http_export.h"
#include "windef.h"
#include "winerror.h"

/// A handle of the Internet client: a session, a connection or a request; nullptr is "none".
using HINTERNET = void*;
/// A pointer to a HINTERNET.
using LPHINTERNET = HINTERNET*;

/// A status callback: the handle, the context it was opened with, the status code
/// (INTERNET_STATUS_...), and the status information with its length (see each code).
using INTERNET_STATUS_CALLBACK = void (*)(HINTERNET handle, DWORD_PTR context, DWORD internetStatus,
                                          LPVOID statusInformation, DWORD statusInformationLength);
/// What InternetSetStatusCallback answers for a handle it can't take a callback for.
#define INTERNET_INVALID_STATUS_CALLBACK (reinterpret_cast<INTERNET_STATUS_CALLBACK>(static_cast<std::intptr_t>(-1)))

/// The scheme of a URL, as InternetCrackUrlA reports it.
enum INTERNET_SCHEME : int {
    INTERNET_SCHEME_PARTIAL = -2, ///< a partial URL
    INTERNET_SCHEME_UNKNOWN = -1, ///< a scheme this client doesn't know
    INTERNET_SCHEME_DEFAULT = 0,  ///< not given
    INTERNET_SCHEME_FTP = 1,      ///< ftp
    INTERNET_SCHEME_GOPHER = 2,   ///< gopher
    INTERNET_SCHEME_HTTP = 3,     ///< http
    INTERNET_SCHEME_HTTPS = 4,    ///< https
    INTERNET_SCHEME_FILE = 5,     ///< file
    INTERNET_SCHEME_NEWS = 6,     ///< news
    INTERNET_SCHEME_MAILTO = 7,   ///< mailto
};

/// The parts of a URL, for InternetCrackUrlA. Each part: with a buffer (lpsz... non-null,
/// length = its size) the part is copied there and the length becomes the part's length without
/// the NUL; with a null pointer and a non-zero
/// length, the pointer is set into the URL text itself; with both zero the part is skipped.
struct URL_COMPONENTSA {
    DWORD dwStructSize = 0;                            ///< sizeof(URL_COMPONENTSA)
    LPSTR lpszScheme = nullptr;                        ///< the scheme's text
    DWORD dwSchemeLength = 0;                          ///< its buffer size, then its length
    INTERNET_SCHEME nScheme = INTERNET_SCHEME_DEFAULT; ///< the scheme as a number
    LPSTR lpszHostName = nullptr;                      ///< the host
    DWORD dwHostNameLength = 0;                        ///< its buffer size, then its length
    INTERNET_PORT nPort = 0;                           ///< the port (the scheme's default when none is given)
    LPSTR lpszUserName = nullptr;                      ///< the user name
    DWORD dwUserNameLength = 0;                        ///< its buffer size, then its length
    LPSTR lpszPassword = nullptr;                      ///< the password
    DWORD dwPasswordLength = 0;                        ///< its buffer size, then its length
    LPSTR lpszUrlPath = nullptr;                       ///< the path
    DWORD dwUrlPathLength = 0;                         ///< its buffer size, then its length
    LPSTR lpszExtraInfo = nullptr;                     ///< the query and fragment ("?a=1#top")
    DWORD dwExtraInfoLength = 0;                       ///< its buffer size, then its length
};
/// A pointer to URL_COMPONENTSA.
using LPURL_COMPONENTSA = URL_COMPONENTSA*;

/// The status information of INTERNET_STATUS_REQUEST_COMPLETE: {TRUE, 0} on success,
/// {FALSE, error code} on failure.
struct INTERNET_ASYNC_RESULT {
    DWORD_PTR dwResult; ///< TRUE on success, FALSE on failure
    DWORD dwError;      ///< the error code of a failure, else 0
};

/// @name InternetOpenA access types
///@{
/// InternetOpenA access types.
inline constexpr DWORD INTERNET_OPEN_TYPE_PRECONFIG = 0;
/// InternetOpenA access types.
inline constexpr DWORD INTERNET_OPEN_TYPE_DIRECT = 1;
/// InternetOpenA access types.
inline constexpr DWORD INTERNET_OPEN_TYPE_PROXY = 3;
///@}

/// @name InternetConnectA services
///@{
/// InternetConnectA services.
inline constexpr DWORD INTERNET_SERVICE_FTP = 1;
/// InternetConnectA services.
inline constexpr DWORD INTERNET_SERVICE_HTTP = 3;
///@}

/// @name Port numbers: none given, and the schemes' defaults
///@{
/// Port numbers: none given, and the schemes' defaults.
inline constexpr INTERNET_PORT INTERNET_INVALID_PORT_NUMBER = 0;
/// Port numbers: none given, and the schemes' defaults.
inline constexpr INTERNET_PORT INTERNET_DEFAULT_FTP_PORT = 21;
/// Port numbers: none given, and the schemes' defaults.
inline constexpr INTERNET_PORT INTERNET_DEFAULT_HTTP_PORT = 80;
/// Port numbers: none given, and the schemes' defaults.
inline constexpr INTERNET_PORT INTERNET_DEFAULT_HTTPS_PORT = 443;
///@}

/// @name Flags of InternetOpenA and HttpOpenRequestA
///@{
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_ASYNC = 0x10000000;
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_RELOAD = 0x80000000;
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_RAW_DATA = 0x40000000;
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_EXISTING_CONNECT = 0x20000000;
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_NO_CACHE_WRITE = 0x04000000;
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_DONT_CACHE = INTERNET_FLAG_NO_CACHE_WRITE;
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_MAKE_PERSISTENT = 0x02000000;
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_FROM_CACHE = 0x01000000;
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_OFFLINE = INTERNET_FLAG_FROM_CACHE;
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_SECURE = 0x00800000;
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_KEEP_CONNECTION = 0x00400000;
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_NO_AUTO_REDIRECT = 0x00200000;
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_READ_PREFETCH = 0x00100000;
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_NO_COOKIES = 0x00080000;
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_NO_AUTH = 0x00040000;
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_CACHE_IF_NET_FAIL = 0x00010000;
/// Flags of InternetOpenA and HttpOpenRequestA. A followed redirect from https to http is
/// allowed; without it the send fails with ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR.
inline constexpr DWORD INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP = 0x00008000;
/// Flags of InternetOpenA and HttpOpenRequestA. A followed redirect from http to https is
/// allowed; without it the send fails with ERROR_INTERNET_HTTP_TO_HTTPS_ON_REDIR.
inline constexpr DWORD INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS = 0x00004000;
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_IGNORE_CERT_DATE_INVALID = 0x00002000;
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_IGNORE_CERT_CN_INVALID = 0x00001000;
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_RESYNCHRONIZE = 0x00000800;
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_HYPERLINK = 0x00000400;
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_NO_UI = 0x00000200;
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_PRAGMA_NOCACHE = 0x00000100;
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_CACHE_ASYNC = 0x00000080;
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_FORMS_SUBMIT = 0x00000040;
/// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_NEED_FILE = 0x00000010;
///@}

/// InternetSetOptionA options this layer supports; any other fails with
/// ERROR_INTERNET_INVALID_OPTION. With no handle (nullptr), the two time-outs set the defaults
/// @name of the whole process, used by every request whose handles set none
///@{
/// of the whole process, used by every request whose handles set none.
inline constexpr DWORD INTERNET_OPTION_CONNECT_TIMEOUT = 2;
/// Milliseconds a response may stay silent before the call fails with ERROR_INTERNET_TIMEOUT
/// (default 30 s). A time-out of 0 sets none: the process's applies, or the built-in one (60 s
/// to connect, 30 s silent).
inline constexpr DWORD INTERNET_OPTION_RECEIVE_TIMEOUT = 6;
/// of the whole process, used by every request whose handles set none.
inline constexpr DWORD INTERNET_OPTION_USERNAME = 28;
/// of the whole process, used by every request whose handles set none.
inline constexpr DWORD INTERNET_OPTION_PASSWORD = 29;
/// of the whole process, used by every request whose handles set none.
inline constexpr DWORD INTERNET_OPTION_PROXY_USERNAME = 43;
/// of the whole process, used by every request whose handles set none.
inline constexpr DWORD INTERNET_OPTION_PROXY_PASSWORD = 44;
///@}

/// @name Options of this layer alone
/// Set on a handle, for it and the handles opened under it, like the options above; no other
/// Internet client knows these numbers.
///@{
/// Milliseconds a request may take on the network, from its first HttpSendRequestA until its
/// body has arrived (redirects and re-sends on the same request handle included), before the
/// call waiting on it fails with ERROR_INTERNET_TIMEOUT; a DWORD, 0 for no bound (the default).
inline constexpr DWORD INTERNET_OPTION_REQUEST_TIMEOUT = 0x10001;
/// The certificate authorities trusted for https, as text: a PEM file, or a folder of them
/// named by their hashes; instead of the process's (the system's, or SSL_CERT_FILE /
/// SSL_CERT_DIR). Empty: the process's.
inline constexpr DWORD INTERNET_OPTION_CA_CERTIFICATES = 0x10002;
/// The client certificate shown to a server that asks for one, as text: a PEM file's name.
inline constexpr DWORD INTERNET_OPTION_CLIENT_CERTIFICATE_FILE = 0x10003;
/// The client certificate's private key, as text: an unencrypted PEM file's name (empty: the
/// certificate's file holds it).
inline constexpr DWORD INTERNET_OPTION_CLIENT_KEY_FILE = 0x10004;
///@}

/// @name HttpQueryInfoA levels and modifiers
///@{
/// HttpQueryInfoA levels and modifiers.
inline constexpr DWORD HTTP_QUERY_CONTENT_LENGTH = 5;
/// HttpQueryInfoA levels and modifiers.
inline constexpr DWORD HTTP_QUERY_STATUS_CODE = 19;
/// HttpQueryInfoA levels and modifiers.
inline constexpr DWORD HTTP_QUERY_STATUS_TEXT = 20;
/// HttpQueryInfoA levels and modifiers.
inline constexpr DWORD HTTP_QUERY_RAW_HEADERS = 21;
/// HttpQueryInfoA levels and modifiers.
inline constexpr DWORD HTTP_QUERY_RAW_HEADERS_CRLF = 22;
/// HttpQueryInfoA levels and modifiers.
inline constexpr DWORD HTTP_QUERY_FLAG_NUMBER = 0x20000000;
///@}

/// InternetErrorDlg flags and its "send again" answer.
inline constexpr DWORD FLAGS_ERROR_UI_FILTER_FOR_ERRORS = 0x01;
/// InternetErrorDlg flags and its "send again" answer: flags error ui flags change options.
inline constexpr DWORD FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS = 0x02;
/// InternetErrorDlg flags and its "send again" answer: flags error ui flags generate data.
inline constexpr DWORD FLAGS_ERROR_UI_FLAGS_GENERATE_DATA = 0x04;
/// InternetErrorDlg flags and its "send again" answer: flags error ui flags no ui.
inline constexpr DWORD FLAGS_ERROR_UI_FLAGS_NO_UI = 0x08;

/// @name InternetCrackUrlA and InternetCombineUrlA flags
///@{
/// InternetCrackUrlA and InternetCombineUrlA flags.
inline constexpr DWORD ICU_ESCAPE = 0x80000000;
/// InternetCrackUrlA and InternetCombineUrlA flags.
inline constexpr DWORD ICU_USERNAME = 0x40000000;
/// InternetCrackUrlA and InternetCombineUrlA flags.
inline constexpr DWORD ICU_NO_ENCODE = 0x20000000;
/// InternetCrackUrlA and InternetCombineUrlA flags.
inline constexpr DWORD ICU_DECODE = 0x10000000;
/// InternetCrackUrlA and InternetCombineUrlA flags.
inline constexpr DWORD ICU_NO_META = 0x08000000;
/// InternetCrackUrlA and InternetCombineUrlA flags.
inline constexpr DWORD ICU_ENCODE_SPACES_ONLY = 0x04000000;
/// InternetCrackUrlA and InternetCombineUrlA flags.
inline constexpr DWORD ICU_BROWSER_MODE = 0x02000000;
///@}

/// Status notifications.
inline constexpr DWORD INTERNET_STATUS_RESOLVING_NAME = 10;
/// Status notification: name resolved.
inline constexpr DWORD INTERNET_STATUS_NAME_RESOLVED = 11;
/// Status notification: connecting to server.
inline constexpr DWORD INTERNET_STATUS_CONNECTING_TO_SERVER = 20;
/// Status notification: connected to server.
inline constexpr DWORD INTERNET_STATUS_CONNECTED_TO_SERVER = 21;
/// Status notification: sending request.
inline constexpr DWORD INTERNET_STATUS_SENDING_REQUEST = 30;
/// Status notification: request sent.
inline constexpr DWORD INTERNET_STATUS_REQUEST_SENT = 31;
/// Status notification: receiving response.
inline constexpr DWORD INTERNET_STATUS_RECEIVING_RESPONSE = 40;
/// Status notification: response received.
inline constexpr DWORD INTERNET_STATUS_RESPONSE_RECEIVED = 41;
/// Status notification: closing connection.
inline constexpr DWORD INTERNET_STATUS_CLOSING_CONNECTION = 50;
/// Status notification: connection closed.
inline constexpr DWORD INTERNET_STATUS_CONNECTION_CLOSED = 51;
/// Status notification: handle created.
inline constexpr DWORD INTERNET_STATUS_HANDLE_CREATED = 60;
/// Status notification: handle closing.
inline constexpr DWORD INTERNET_STATUS_HANDLE_CLOSING = 70;
/// Status notification: request complete.
inline constexpr DWORD INTERNET_STATUS_REQUEST_COMPLETE = 100;
/// Status notification: redirect.
inline constexpr DWORD INTERNET_STATUS_REDIRECT = 110;
/// Status notification: intermediate response.
inline constexpr DWORD INTERNET_STATUS_INTERMEDIATE_RESPONSE = 120;
/// Status notification: state change.
inline constexpr DWORD INTERNET_STATUS_STATE_CHANGE = 200;

/// Error codes.
inline constexpr DWORD INTERNET_ERROR_BASE = 12000;
/// No more Internet handles could be opened.
inline constexpr DWORD ERROR_INTERNET_OUT_OF_HANDLES = 12001;
/// The operation timed out.
inline constexpr DWORD ERROR_INTERNET_TIMEOUT = 12002;
/// The server returned extended information.
inline constexpr DWORD ERROR_INTERNET_EXTENDED_ERROR = 12003;
/// An internal error occurred in the Internet client.
inline constexpr DWORD ERROR_INTERNET_INTERNAL_ERROR = 12004;
/// The URL is invalid.
inline constexpr DWORD ERROR_INTERNET_INVALID_URL = 12005;
/// The URL does not use a recognized protocol.
inline constexpr DWORD ERROR_INTERNET_UNRECOGNIZED_SCHEME = 12006;
/// The server name could not be resolved.
inline constexpr DWORD ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
/// No protocol could handle the request.
inline constexpr DWORD ERROR_INTERNET_PROTOCOL_NOT_FOUND = 12008;
/// The option is not valid.
inline constexpr DWORD ERROR_INTERNET_INVALID_OPTION = 12009;
/// The length given for the option is wrong for its type.
inline constexpr DWORD ERROR_INTERNET_BAD_OPTION_LENGTH = 12010;
/// The option can only be queried, not set.
inline constexpr DWORD ERROR_INTERNET_OPTION_NOT_SETTABLE = 12011;
/// The Internet client is shutting down.
inline constexpr DWORD ERROR_INTERNET_SHUTDOWN = 12012;
/// The user name is not correct.
inline constexpr DWORD ERROR_INTERNET_INCORRECT_USER_NAME = 12013;
/// The password is not correct.
inline constexpr DWORD ERROR_INTERNET_INCORRECT_PASSWORD = 12014;
/// The login failed.
inline constexpr DWORD ERROR_INTERNET_LOGIN_FAILURE = 12015;
/// The operation is not valid.
inline constexpr DWORD ERROR_INTERNET_INVALID_OPERATION = 12016;
/// The operation was cancelled.
inline constexpr DWORD ERROR_INTERNET_OPERATION_CANCELLED = 12017;
/// The handle is of the wrong type for this operation.
inline constexpr DWORD ERROR_INTERNET_INCORRECT_HANDLE_TYPE = 12018;
/// The handle is not in the right state for this operation.
inline constexpr DWORD ERROR_INTERNET_INCORRECT_HANDLE_STATE = 12019;
/// The request cannot be made through a proxy.
inline constexpr DWORD ERROR_INTERNET_NOT_PROXY_REQUEST = 12020;
/// A connection with the server could not be established.
inline constexpr DWORD ERROR_INTERNET_CANNOT_CONNECT = 12029;
/// The connection with the server was ended abnormally.
inline constexpr DWORD ERROR_INTERNET_CONNECTION_ABORTED = 12030;
/// The connection with the server was reset.
inline constexpr DWORD ERROR_INTERNET_CONNECTION_RESET = 12031;
/// The request needs to be sent again.
inline constexpr DWORD ERROR_INTERNET_FORCE_RETRY = 12032;
/// The request to the proxy was invalid.
inline constexpr DWORD ERROR_INTERNET_INVALID_PROXY_REQUEST = 12033;
/// The server's certificate has expired or is not yet valid.
inline constexpr DWORD ERROR_INTERNET_SEC_CERT_DATE_INVALID = 12037;
/// The server's certificate does not match the server's name.
inline constexpr DWORD ERROR_INTERNET_SEC_CERT_CN_INVALID = 12038;
/// The server asks for a client certificate.
inline constexpr DWORD ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED = 12044;
/// The server's certificate was issued by an authority that is not trusted.
inline constexpr DWORD ERROR_INTERNET_INVALID_CA = 12045;
/// A redirect leads from a plain to a secure connection, and the request's flags don't allow it
/// (no INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS).
inline constexpr DWORD ERROR_INTERNET_HTTP_TO_HTTPS_ON_REDIR = 12039;
/// A redirect leads from a secure to a plain connection, and the request's flags don't allow it
/// (no INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP).
inline constexpr DWORD ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR = 12040;
/// The requested header was not found.
inline constexpr DWORD ERROR_HTTP_HEADER_NOT_FOUND = 12150;
/// The server returned an invalid or unrecognized response (a malformed or too large response head).
inline constexpr DWORD ERROR_HTTP_INVALID_SERVER_RESPONSE = 12152;
/// The header is not valid.
inline constexpr DWORD ERROR_HTTP_INVALID_HEADER = 12153;
/// The query for header information is not valid.
inline constexpr DWORD ERROR_HTTP_INVALID_QUERY_REQUEST = 12154;
/// The redirection failed.
inline constexpr DWORD ERROR_HTTP_REDIRECT_FAILED = 12156;
/// A secure connection with the server could not be established.
inline constexpr DWORD ERROR_INTERNET_SECURITY_CHANNEL_ERROR = 12157;
/// The server's certificate is invalid.
inline constexpr DWORD ERROR_INTERNET_SEC_INVALID_CERT = 12169;
/// The content of the response could not be decoded.
inline constexpr DWORD ERROR_INTERNET_DECODING_FAILED = 12175;

/// Opens a session (the Internet handle) with the user agent agent; accessType
/// INTERNET_OPEN_TYPE_PRECONFIG (the system's proxy setting), _DIRECT or _PROXY (through proxy);
/// flags 0 or INTERNET_FLAG_ASYNC. nullptr on failure.
[[nodiscard]] DORVANE_HTTP_EXPORT HINTERNET InternetOpenA(LPCSTR agent, DWORD accessType, LPCSTR proxy, LPCSTR proxyBypass,
                                      DWORD flags);
/// Installs the callback that receives the status notifications of every handle opened under
/// this Internet handle. Returns the previous callback, or INTERNET_INVALID_STATUS_CALLBACK.
DORVANE_HTTP_EXPORT INTERNET_STATUS_CALLBACK InternetSetStatusCallback(HINTERNET internet, INTERNET_STATUS_CALLBACK callback);
/// Opens a connection handle for a server under the session; nothing goes over the network
/// until a request is sent. service: INTERNET_SERVICE_HTTP. nullptr on failure.
[[nodiscard]] DORVANE_HTTP_EXPORT HINTERNET InternetConnectA(HINTERNET internet, LPCSTR serverName, INTERNET_PORT serverPort,
                                         LPCSTR userName, LPCSTR password, DWORD service, DWORD flags,
                                         DWORD_PTR context);
/// Sets an option (INTERNET_OPTION_...) on a handle, for it and the handles opened under it:
/// a time-out as a DWORD of milliseconds, a credential as text and its length.
DORVANE_HTTP_EXPORT BOOL InternetSetOptionA(HINTERNET handle, DWORD option, LPVOID buffer, DWORD bufferLength);
/// Opens a request handle for verb and objectName (path and query) on the connection; acceptTypes
/// is a list ended by nullptr, or nullptr; flags are INTERNET_FLAG_... request flags. Its status
/// notifications carry context. nullptr on failure.
[[nodiscard]] DORVANE_HTTP_EXPORT HINTERNET HttpOpenRequestA(HINTERNET connection, LPCSTR verb, LPCSTR objectName, LPCSTR version,
                                         LPCSTR referrer, LPCSTR* acceptTypes, DWORD flags, DWORD_PTR context);
/// headers: "Name: value" lines, each ended by CR LF; a caller's header replaces the layer's own of
/// that name (Host, User-Agent, Accept, ...) and goes out as written, repeats included, except
/// Content-Length, which always states the body's true length. A line that is no header line
/// (no name, or a control byte inside), a Transfer-Encoding line (the layer frames the body), or
/// a verb that is no HTTP token (a blank, CR or LF inside) fails the call with
/// ERROR_HTTP_INVALID_HEADER before anything is sent.
[[nodiscard]] DORVANE_HTTP_EXPORT BOOL HttpSendRequestA(HINTERNET request, LPCSTR headers, DWORD headersLength, LPVOID optional,
                                    DWORD optionalLength);
/// Reads the status code (HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER), a header as a number
/// or the raw header block (HTTP_QUERY_RAW_HEADERS_CRLF) of the response into buffer;
/// ERROR_INSUFFICIENT_BUFFER with the size needed when it is too small.
[[nodiscard]] DORVANE_HTTP_EXPORT BOOL HttpQueryInfoA(HINTERNET request, DWORD infoLevel, LPVOID buffer, LPDWORD bufferLength,
                                  LPDWORD index);
/// Reads up to numberOfBytesToRead bytes of the response body; a count of 0 with TRUE is the
/// end of the body. An asynchronous handle may answer FALSE with ERROR_IO_PENDING.
[[nodiscard]] DORVANE_HTTP_EXPORT BOOL InternetReadFile(HINTERNET file, LPVOID buffer, DWORD numberOfBytesToRead,
                                    LPDWORD numberOfBytesRead);
/// Closes a handle and every handle opened under it; a call blocked on it ends with
/// ERROR_INTERNET_OPERATION_CANCELLED.
DORVANE_HTTP_EXPORT BOOL InternetCloseHandle(HINTERNET handle);
/// Asks the user about an error of a request. With FLAGS_ERROR_UI_FILTER_FOR_ERRORS and a 401 or
/// 407 response it runs the application's credential prompt (see SetInternetErrorDlgHook);
/// answers ERROR_INTERNET_FORCE_RETRY when the request should be sent again, ERROR_CANCELLED
/// when the user declined, ERROR_SUCCESS when there was nothing to ask.
DORVANE_HTTP_EXPORT DWORD InternetErrorDlg(HWND parent, HINTERNET request, DWORD error, DWORD flags, LPVOID* data);
/// The text and number of the server's last extended error on this thread.
DORVANE_HTTP_EXPORT BOOL InternetGetLastResponseInfoA(LPDWORD error, LPSTR buffer, LPDWORD bufferLength);
/// Splits url (urlLength 0: up to its NUL) into components; ICU_ESCAPE decodes %xx escapes.
[[nodiscard]] DORVANE_HTTP_EXPORT BOOL InternetCrackUrlA(LPCSTR url, DWORD urlLength, DWORD flags, LPURL_COMPONENTSA components);
/// bufferLength: in, the buffer's size; out, the length written without the NUL, or the size
/// needed with the NUL when the buffer is too small (ERROR_INSUFFICIENT_BUFFER).
[[nodiscard]] DORVANE_HTTP_EXPORT BOOL InternetCombineUrlA(LPCSTR baseUrl, LPCSTR relativeUrl, LPSTR buffer, LPDWORD bufferLength,
                                       DWORD flags);

/// The application's credential prompt behind InternetErrorDlg. It shows its dialog for the
/// request (statusCode 401: server, 407: proxy), and on OK stores the user name and password on the
/// request with InternetSetOptionA and answers ERROR_INTERNET_FORCE_RETRY; on Cancel it answers
/// ERROR_CANCELLED. Without a hook InternetErrorDlg answers ERROR_CANCELLED.
using InternetErrorDlgHook = std::function<DWORD(HWND parent, HINTERNET request, DWORD statusCode)>;
/// Installs the credential prompt behind InternetErrorDlg; returns the previous one.
DORVANE_HTTP_EXPORT InternetErrorDlgHook SetInternetErrorDlgHook(InternetErrorDlgHook hook);
