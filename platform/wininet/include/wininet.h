// The Internet client operations: handles for a session, a connection and a request, URL
// splitting and combining, status notifications and error codes, under their usual names,
// signatures and conventions (BOOL or handle results, the reason in GetLastError()).
// libcurl does the network work underneath; nothing of it shows here.
//
//   HINTERNET session = InternetOpenA("agent", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
//   HINTERNET connection = InternetConnectA(session, "example.test", 80, nullptr, nullptr,
//                                           INTERNET_SERVICE_HTTP, 0, 0);
//   HINTERNET request = HttpOpenRequestA(connection, "GET", "/", nullptr, nullptr, nullptr, 0, 0);
//   if (HttpSendRequestA(request, nullptr, 0, nullptr, 0)) { ... InternetReadFile(...) ... }
//   InternetCloseHandle(request); InternetCloseHandle(connection); InternetCloseHandle(session);
//
// Threads. Any call may come from any thread. A synchronous Internet handle has no thread of its
// own: the blocked caller does the network work, and every status notification of a call is
// delivered on the caller's thread, inside that call (notifications gathered while nobody waited,
// such as the closing of a connection after the body, come with the next call on the request).
// Asynchronous handles (INTERNET_FLAG_ASYNC) share a few threads of the layer (as many as the
// processors, at most four; none while no such handle is open), each handle always served by the
// same one, so a status callback that blocks holds up the handles that share its thread.
// HttpSendRequestA and a read that finds no data fail with ERROR_IO_PENDING, and that thread
// later delivers INTERNET_STATUS_REQUEST_COMPLETE with an INTERNET_ASYNC_RESULT ({1, 0} or
// {0, error}); a pending read's count is stored in the caller's variable before it. Status
// callbacks are called with no lock held and may call any operation. Handles opened with
// context 0 get no notifications.
//
// Endings. INTERNET_STATUS_HANDLE_CLOSING is the last notification a request handle ever gets.
// It comes on the thread that closes the handle, inside InternetCloseHandle; but when another
// thread is inside a status callback of that request at that moment, InternetCloseHandle
// returns at once and that thread sends it as soon as its callback has returned. A connection
// closing later is reported only to a request handle that is still open.
//
// What a response reports: INTERNET_STATUS_INTERMEDIATE_RESPONSE (the status code as a DWORD)
// for each interim answer (1xx); one RECEIVING_RESPONSE / RESPONSE_RECEIVED pair for each
// response head (inside HttpSendRequestA; a followed redirect or answered challenge has its
// own); then one pair for each InternetReadFile that hands over data, RESPONSE_RECEIVED carrying
// the count that call returned.
//
// Closing a handle ends a call blocked on it (on another thread) with
// ERROR_INTERNET_OPERATION_CANCELLED; closing the Internet handle closes every handle under it.
// The body of a response is read ahead into a bounded buffer (the transfer waits while the
// reader is behind). Trusted certificate authorities: the system's, or those named by the
// SSL_CERT_FILE / SSL_CERT_DIR environment variables as for any OpenSSL program.
#pragma once

#include <functional>

#include "dorvane_http_export.h"
#include "windef.h"
#include "winerror.h"

using HINTERNET = void*;
using LPHINTERNET = HINTERNET*;

using INTERNET_STATUS_CALLBACK = void (*)(HINTERNET handle, DWORD_PTR context, DWORD internetStatus,
                                          LPVOID statusInformation, DWORD statusInformationLength);
#define INTERNET_INVALID_STATUS_CALLBACK (reinterpret_cast<INTERNET_STATUS_CALLBACK>(static_cast<std::intptr_t>(-1)))

enum INTERNET_SCHEME : int {
    INTERNET_SCHEME_PARTIAL = -2,
    INTERNET_SCHEME_UNKNOWN = -1,
    INTERNET_SCHEME_DEFAULT = 0,
    INTERNET_SCHEME_FTP = 1,
    INTERNET_SCHEME_GOPHER = 2,
    INTERNET_SCHEME_HTTP = 3,
    INTERNET_SCHEME_HTTPS = 4,
    INTERNET_SCHEME_FILE = 5,
    INTERNET_SCHEME_NEWS = 6,
    INTERNET_SCHEME_MAILTO = 7,
};

// Each part: with a buffer (lpsz... non-null, length = its size) the part is copied there and
// the length becomes the part's length without the NUL; with a null pointer and a non-zero
// length, the pointer is set into the URL text itself; with both zero the part is skipped.
struct URL_COMPONENTSA {
    DWORD dwStructSize = 0;
    LPSTR lpszScheme = nullptr;
    DWORD dwSchemeLength = 0;
    INTERNET_SCHEME nScheme = INTERNET_SCHEME_DEFAULT;
    LPSTR lpszHostName = nullptr;
    DWORD dwHostNameLength = 0;
    INTERNET_PORT nPort = 0;
    LPSTR lpszUserName = nullptr;
    DWORD dwUserNameLength = 0;
    LPSTR lpszPassword = nullptr;
    DWORD dwPasswordLength = 0;
    LPSTR lpszUrlPath = nullptr;
    DWORD dwUrlPathLength = 0;
    LPSTR lpszExtraInfo = nullptr;
    DWORD dwExtraInfoLength = 0;
};
using LPURL_COMPONENTSA = URL_COMPONENTSA*;

// The status information of INTERNET_STATUS_REQUEST_COMPLETE: {TRUE, 0} on success,
// {FALSE, error code} on failure.
struct INTERNET_ASYNC_RESULT {
    DWORD_PTR dwResult;
    DWORD dwError;
};

// InternetOpenA access types.
inline constexpr DWORD INTERNET_OPEN_TYPE_PRECONFIG = 0;
inline constexpr DWORD INTERNET_OPEN_TYPE_DIRECT = 1;
inline constexpr DWORD INTERNET_OPEN_TYPE_PROXY = 3;

inline constexpr DWORD INTERNET_SERVICE_FTP = 1;
inline constexpr DWORD INTERNET_SERVICE_HTTP = 3;

inline constexpr INTERNET_PORT INTERNET_INVALID_PORT_NUMBER = 0;
inline constexpr INTERNET_PORT INTERNET_DEFAULT_FTP_PORT = 21;
inline constexpr INTERNET_PORT INTERNET_DEFAULT_HTTP_PORT = 80;
inline constexpr INTERNET_PORT INTERNET_DEFAULT_HTTPS_PORT = 443;

// Flags of InternetOpenA and HttpOpenRequestA.
inline constexpr DWORD INTERNET_FLAG_ASYNC = 0x10000000;
inline constexpr DWORD INTERNET_FLAG_RELOAD = 0x80000000;
inline constexpr DWORD INTERNET_FLAG_RAW_DATA = 0x40000000;
inline constexpr DWORD INTERNET_FLAG_EXISTING_CONNECT = 0x20000000;
inline constexpr DWORD INTERNET_FLAG_NO_CACHE_WRITE = 0x04000000;
inline constexpr DWORD INTERNET_FLAG_DONT_CACHE = INTERNET_FLAG_NO_CACHE_WRITE;
inline constexpr DWORD INTERNET_FLAG_MAKE_PERSISTENT = 0x02000000;
inline constexpr DWORD INTERNET_FLAG_FROM_CACHE = 0x01000000;
inline constexpr DWORD INTERNET_FLAG_OFFLINE = INTERNET_FLAG_FROM_CACHE;
inline constexpr DWORD INTERNET_FLAG_SECURE = 0x00800000;
inline constexpr DWORD INTERNET_FLAG_KEEP_CONNECTION = 0x00400000;
inline constexpr DWORD INTERNET_FLAG_NO_AUTO_REDIRECT = 0x00200000;
inline constexpr DWORD INTERNET_FLAG_READ_PREFETCH = 0x00100000;
inline constexpr DWORD INTERNET_FLAG_NO_COOKIES = 0x00080000;
inline constexpr DWORD INTERNET_FLAG_NO_AUTH = 0x00040000;
inline constexpr DWORD INTERNET_FLAG_CACHE_IF_NET_FAIL = 0x00010000;
inline constexpr DWORD INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP = 0x00008000;
inline constexpr DWORD INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS = 0x00004000;
inline constexpr DWORD INTERNET_FLAG_IGNORE_CERT_DATE_INVALID = 0x00002000;
inline constexpr DWORD INTERNET_FLAG_IGNORE_CERT_CN_INVALID = 0x00001000;
inline constexpr DWORD INTERNET_FLAG_RESYNCHRONIZE = 0x00000800;
inline constexpr DWORD INTERNET_FLAG_HYPERLINK = 0x00000400;
inline constexpr DWORD INTERNET_FLAG_NO_UI = 0x00000200;
inline constexpr DWORD INTERNET_FLAG_PRAGMA_NOCACHE = 0x00000100;
inline constexpr DWORD INTERNET_FLAG_CACHE_ASYNC = 0x00000080;
inline constexpr DWORD INTERNET_FLAG_FORMS_SUBMIT = 0x00000040;
inline constexpr DWORD INTERNET_FLAG_NEED_FILE = 0x00000010;

// InternetSetOptionA options this layer supports; any other fails with
// ERROR_INTERNET_INVALID_OPTION. With no handle (nullptr), the two time-outs set the defaults
// of the whole process, used by every request whose handles set none.
inline constexpr DWORD INTERNET_OPTION_CONNECT_TIMEOUT = 2;
// Milliseconds a response may stay silent before the call fails with ERROR_INTERNET_TIMEOUT
// (default 30 s).
inline constexpr DWORD INTERNET_OPTION_RECEIVE_TIMEOUT = 6;
inline constexpr DWORD INTERNET_OPTION_USERNAME = 28;
inline constexpr DWORD INTERNET_OPTION_PASSWORD = 29;
inline constexpr DWORD INTERNET_OPTION_PROXY_USERNAME = 43;
inline constexpr DWORD INTERNET_OPTION_PROXY_PASSWORD = 44;

// HttpQueryInfoA levels and modifiers.
inline constexpr DWORD HTTP_QUERY_CONTENT_LENGTH = 5;
inline constexpr DWORD HTTP_QUERY_STATUS_CODE = 19;
inline constexpr DWORD HTTP_QUERY_STATUS_TEXT = 20;
inline constexpr DWORD HTTP_QUERY_RAW_HEADERS = 21;
inline constexpr DWORD HTTP_QUERY_RAW_HEADERS_CRLF = 22;
inline constexpr DWORD HTTP_QUERY_FLAG_NUMBER = 0x20000000;

// InternetErrorDlg flags and its "send again" answer.
inline constexpr DWORD FLAGS_ERROR_UI_FILTER_FOR_ERRORS = 0x01;
inline constexpr DWORD FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS = 0x02;
inline constexpr DWORD FLAGS_ERROR_UI_FLAGS_GENERATE_DATA = 0x04;
inline constexpr DWORD FLAGS_ERROR_UI_FLAGS_NO_UI = 0x08;

// InternetCrackUrlA and InternetCombineUrlA flags.
inline constexpr DWORD ICU_ESCAPE = 0x80000000;
inline constexpr DWORD ICU_USERNAME = 0x40000000;
inline constexpr DWORD ICU_NO_ENCODE = 0x20000000;
inline constexpr DWORD ICU_DECODE = 0x10000000;
inline constexpr DWORD ICU_NO_META = 0x08000000;
inline constexpr DWORD ICU_ENCODE_SPACES_ONLY = 0x04000000;
inline constexpr DWORD ICU_BROWSER_MODE = 0x02000000;

// Status notifications.
inline constexpr DWORD INTERNET_STATUS_RESOLVING_NAME = 10;
inline constexpr DWORD INTERNET_STATUS_NAME_RESOLVED = 11;
inline constexpr DWORD INTERNET_STATUS_CONNECTING_TO_SERVER = 20;
inline constexpr DWORD INTERNET_STATUS_CONNECTED_TO_SERVER = 21;
inline constexpr DWORD INTERNET_STATUS_SENDING_REQUEST = 30;
inline constexpr DWORD INTERNET_STATUS_REQUEST_SENT = 31;
inline constexpr DWORD INTERNET_STATUS_RECEIVING_RESPONSE = 40;
inline constexpr DWORD INTERNET_STATUS_RESPONSE_RECEIVED = 41;
inline constexpr DWORD INTERNET_STATUS_CLOSING_CONNECTION = 50;
inline constexpr DWORD INTERNET_STATUS_CONNECTION_CLOSED = 51;
inline constexpr DWORD INTERNET_STATUS_HANDLE_CREATED = 60;
inline constexpr DWORD INTERNET_STATUS_HANDLE_CLOSING = 70;
inline constexpr DWORD INTERNET_STATUS_REQUEST_COMPLETE = 100;
inline constexpr DWORD INTERNET_STATUS_REDIRECT = 110;
inline constexpr DWORD INTERNET_STATUS_INTERMEDIATE_RESPONSE = 120;
inline constexpr DWORD INTERNET_STATUS_STATE_CHANGE = 200;

// Error codes.
inline constexpr DWORD INTERNET_ERROR_BASE = 12000;
inline constexpr DWORD ERROR_INTERNET_OUT_OF_HANDLES = 12001;
inline constexpr DWORD ERROR_INTERNET_TIMEOUT = 12002;
inline constexpr DWORD ERROR_INTERNET_EXTENDED_ERROR = 12003;
inline constexpr DWORD ERROR_INTERNET_INTERNAL_ERROR = 12004;
inline constexpr DWORD ERROR_INTERNET_INVALID_URL = 12005;
inline constexpr DWORD ERROR_INTERNET_UNRECOGNIZED_SCHEME = 12006;
inline constexpr DWORD ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
inline constexpr DWORD ERROR_INTERNET_PROTOCOL_NOT_FOUND = 12008;
inline constexpr DWORD ERROR_INTERNET_INVALID_OPTION = 12009;
inline constexpr DWORD ERROR_INTERNET_BAD_OPTION_LENGTH = 12010;
inline constexpr DWORD ERROR_INTERNET_OPTION_NOT_SETTABLE = 12011;
inline constexpr DWORD ERROR_INTERNET_SHUTDOWN = 12012;
inline constexpr DWORD ERROR_INTERNET_INCORRECT_USER_NAME = 12013;
inline constexpr DWORD ERROR_INTERNET_INCORRECT_PASSWORD = 12014;
inline constexpr DWORD ERROR_INTERNET_LOGIN_FAILURE = 12015;
inline constexpr DWORD ERROR_INTERNET_INVALID_OPERATION = 12016;
inline constexpr DWORD ERROR_INTERNET_OPERATION_CANCELLED = 12017;
inline constexpr DWORD ERROR_INTERNET_INCORRECT_HANDLE_TYPE = 12018;
inline constexpr DWORD ERROR_INTERNET_INCORRECT_HANDLE_STATE = 12019;
inline constexpr DWORD ERROR_INTERNET_NOT_PROXY_REQUEST = 12020;
inline constexpr DWORD ERROR_INTERNET_CANNOT_CONNECT = 12029;
inline constexpr DWORD ERROR_INTERNET_CONNECTION_ABORTED = 12030;
inline constexpr DWORD ERROR_INTERNET_CONNECTION_RESET = 12031;
inline constexpr DWORD ERROR_INTERNET_FORCE_RETRY = 12032;
inline constexpr DWORD ERROR_INTERNET_INVALID_PROXY_REQUEST = 12033;
inline constexpr DWORD ERROR_INTERNET_SEC_CERT_DATE_INVALID = 12037;
inline constexpr DWORD ERROR_INTERNET_SEC_CERT_CN_INVALID = 12038;
inline constexpr DWORD ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED = 12044;
inline constexpr DWORD ERROR_INTERNET_INVALID_CA = 12045;
inline constexpr DWORD ERROR_HTTP_HEADER_NOT_FOUND = 12150;
inline constexpr DWORD ERROR_HTTP_INVALID_SERVER_RESPONSE = 12152;
inline constexpr DWORD ERROR_HTTP_INVALID_HEADER = 12153;
inline constexpr DWORD ERROR_HTTP_INVALID_QUERY_REQUEST = 12154;
inline constexpr DWORD ERROR_HTTP_REDIRECT_FAILED = 12156;
inline constexpr DWORD ERROR_INTERNET_SECURITY_CHANNEL_ERROR = 12157;
inline constexpr DWORD ERROR_INTERNET_SEC_INVALID_CERT = 12169;
inline constexpr DWORD ERROR_INTERNET_DECODING_FAILED = 12175;

[[nodiscard]] DORVANE_HTTP_EXPORT HINTERNET InternetOpenA(LPCSTR agent, DWORD accessType, LPCSTR proxy, LPCSTR proxyBypass,
                                      DWORD flags);
// Installs the callback that receives the status notifications of every handle opened under
// this Internet handle. Returns the previous callback, or INTERNET_INVALID_STATUS_CALLBACK.
DORVANE_HTTP_EXPORT INTERNET_STATUS_CALLBACK InternetSetStatusCallback(HINTERNET internet, INTERNET_STATUS_CALLBACK callback);
[[nodiscard]] DORVANE_HTTP_EXPORT HINTERNET InternetConnectA(HINTERNET internet, LPCSTR serverName, INTERNET_PORT serverPort,
                                         LPCSTR userName, LPCSTR password, DWORD service, DWORD flags,
                                         DWORD_PTR context);
DORVANE_HTTP_EXPORT BOOL InternetSetOptionA(HINTERNET handle, DWORD option, LPVOID buffer, DWORD bufferLength);
[[nodiscard]] DORVANE_HTTP_EXPORT HINTERNET HttpOpenRequestA(HINTERNET connection, LPCSTR verb, LPCSTR objectName, LPCSTR version,
                                         LPCSTR referrer, LPCSTR* acceptTypes, DWORD flags, DWORD_PTR context);
// headers: "Name: value" lines, each ended by CR LF; a caller's header replaces the layer's own of
// that name (Host, User-Agent, Accept, ...) and goes out as written, repeats included, except
// Content-Length, which always states the body's true length. A line that is no header line
// (no name, or a control byte inside) fails the call with ERROR_HTTP_INVALID_HEADER.
[[nodiscard]] DORVANE_HTTP_EXPORT BOOL HttpSendRequestA(HINTERNET request, LPCSTR headers, DWORD headersLength, LPVOID optional,
                                    DWORD optionalLength);
[[nodiscard]] DORVANE_HTTP_EXPORT BOOL HttpQueryInfoA(HINTERNET request, DWORD infoLevel, LPVOID buffer, LPDWORD bufferLength,
                                  LPDWORD index);
[[nodiscard]] DORVANE_HTTP_EXPORT BOOL InternetReadFile(HINTERNET file, LPVOID buffer, DWORD numberOfBytesToRead,
                                    LPDWORD numberOfBytesRead);
DORVANE_HTTP_EXPORT BOOL InternetCloseHandle(HINTERNET handle);
// Asks the user about an error of a request. With FLAGS_ERROR_UI_FILTER_FOR_ERRORS and a 401 or
// 407 response it runs the application's credential prompt (see SetInternetErrorDlgHook);
// answers ERROR_INTERNET_FORCE_RETRY when the request should be sent again, ERROR_CANCELLED
// when the user declined, ERROR_SUCCESS when there was nothing to ask.
DORVANE_HTTP_EXPORT DWORD InternetErrorDlg(HWND parent, HINTERNET request, DWORD error, DWORD flags, LPVOID* data);
// The text and number of the server's last extended error on this thread.
DORVANE_HTTP_EXPORT BOOL InternetGetLastResponseInfoA(LPDWORD error, LPSTR buffer, LPDWORD bufferLength);
[[nodiscard]] DORVANE_HTTP_EXPORT BOOL InternetCrackUrlA(LPCSTR url, DWORD urlLength, DWORD flags, LPURL_COMPONENTSA components);
// bufferLength: in, the buffer's size; out, the length written without the NUL, or the size
// needed with the NUL when the buffer is too small (ERROR_INSUFFICIENT_BUFFER).
[[nodiscard]] DORVANE_HTTP_EXPORT BOOL InternetCombineUrlA(LPCSTR baseUrl, LPCSTR relativeUrl, LPSTR buffer, LPDWORD bufferLength,
                                       DWORD flags);

// The application's credential prompt behind InternetErrorDlg. It shows its dialog for the
// request (statusCode 401: server, 407: proxy), and on OK stores the user name and password on the
// request with InternetSetOptionA and answers ERROR_INTERNET_FORCE_RETRY; on Cancel it answers
// ERROR_CANCELLED. Without a hook InternetErrorDlg answers ERROR_CANCELLED.
using InternetErrorDlgHook = std::function<DWORD(HWND parent, HINTERNET request, DWORD statusCode)>;
DORVANE_HTTP_EXPORT InternetErrorDlgHook SetInternetErrorDlgHook(InternetErrorDlgHook hook);
