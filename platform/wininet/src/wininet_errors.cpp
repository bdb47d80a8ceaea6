#include "wininet_errors.h"

#include <curl/curl.h>
#include <openssl/x509_vfy.h>

#include <cerrno>

#include "message_tables.h"
#include "wininet.h"

namespace wininet {

namespace {

struct ErrorEntry {
    DWORD code;
    const char* text;
};

// One table for every code this layer can report.
constexpr ErrorEntry errorTexts[] = {
    {ERROR_INTERNET_OUT_OF_HANDLES, "No more Internet handles could be opened."},
    {ERROR_INTERNET_TIMEOUT, "The operation timed out."},
    {ERROR_INTERNET_EXTENDED_ERROR, "The server returned extended information."},
    {ERROR_INTERNET_INTERNAL_ERROR, "An internal error occurred in the Internet client."},
    {ERROR_INTERNET_INVALID_URL, "The URL is invalid."},
    {ERROR_INTERNET_UNRECOGNIZED_SCHEME, "The URL does not use a recognized protocol."},
    {ERROR_INTERNET_NAME_NOT_RESOLVED, "The server name could not be resolved."},
    {ERROR_INTERNET_PROTOCOL_NOT_FOUND, "No protocol could handle the request."},
    {ERROR_INTERNET_INVALID_OPTION, "The option is not valid."},
    {ERROR_INTERNET_BAD_OPTION_LENGTH, "The length given for the option is wrong for its type."},
    {ERROR_INTERNET_OPTION_NOT_SETTABLE, "The option can only be queried, not set."},
    {ERROR_INTERNET_SHUTDOWN, "The Internet client is shutting down."},
    {ERROR_INTERNET_INCORRECT_USER_NAME, "The user name is not correct."},
    {ERROR_INTERNET_INCORRECT_PASSWORD, "The password is not correct."},
    {ERROR_INTERNET_LOGIN_FAILURE,
     "The login failed: the server (or proxy) asks for credentials and none it accepts were given."},
    {ERROR_INTERNET_INVALID_OPERATION, "The operation is not valid."},
    {ERROR_INTERNET_OPERATION_CANCELLED, "The operation was cancelled."},
    {ERROR_INTERNET_INCORRECT_HANDLE_TYPE, "The handle is of the wrong type for this operation."},
    {ERROR_INTERNET_INCORRECT_HANDLE_STATE, "The handle is not in the right state for this operation."},
    {ERROR_INTERNET_NOT_PROXY_REQUEST, "The request cannot be made through a proxy."},
    {ERROR_INTERNET_CANNOT_CONNECT, "A connection with the server could not be established."},
    {ERROR_INTERNET_CONNECTION_ABORTED, "The connection with the server was ended abnormally."},
    {ERROR_INTERNET_CONNECTION_RESET, "The connection with the server was reset."},
    {ERROR_INTERNET_FORCE_RETRY, "The request needs to be sent again."},
    {ERROR_INTERNET_INVALID_PROXY_REQUEST, "The request to the proxy was invalid."},
    {ERROR_INTERNET_SEC_CERT_DATE_INVALID, "The server's certificate has expired or is not yet valid."},
    {ERROR_INTERNET_SEC_CERT_CN_INVALID, "The server's certificate does not match the server's name."},
    {ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED, "The server asks for a client certificate."},
    {ERROR_INTERNET_INVALID_CA, "The server's certificate was issued by an authority that is not trusted."},
    {ERROR_INTERNET_HTTP_TO_HTTPS_ON_REDIR,
     "A redirect leads from a plain to a secure connection, which the request does not allow."},
    {ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR,
     "A redirect leads from a secure to a plain connection, which the request does not allow."},
    {ERROR_HTTP_HEADER_NOT_FOUND, "The requested header was not found."},
    {ERROR_HTTP_INVALID_SERVER_RESPONSE,
     "The server returned an invalid or unrecognized response (a malformed or too large response head)."},
    {ERROR_HTTP_INVALID_HEADER, "The header is not valid."},
    {ERROR_HTTP_INVALID_QUERY_REQUEST, "The query for header information is not valid."},
    {ERROR_HTTP_REDIRECT_FAILED, "The redirection failed."},
    {ERROR_INTERNET_SECURITY_CHANNEL_ERROR, "A secure connection with the server could not be established."},
    {ERROR_INTERNET_SEC_INVALID_CERT, "The server's certificate is invalid."},
    {ERROR_INTERNET_DECODING_FAILED, "The content of the response could not be decoded."},
};

DWORD certificateError(long verifyResult)
{
    switch (verifyResult) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
    // The chain itself checked out, so the name was what failed: libcurl checks the name after
    // OpenSSL's own check and records the failure as "unspecified".
    case X509_V_OK:
    case X509_V_ERR_UNSPECIFIED:
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return ERROR_INTERNET_SEC_CERT_CN_INVALID;
    default:
        return ERROR_INTERNET_INVALID_CA;
    }
}

} // namespace

const char* errorText(DWORD code)
{
    for (const auto& entry : errorTexts) {
        if (entry.code == code)
            return entry.text;
    }
    return nullptr;
}

DWORD errorFromTransfer(int curlCode, long osError, long verifyResult, bool followedRedirect)
{
    switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_OK:
        return ERROR_SUCCESS;
    // Requests always go out as http or https, so libcurl reports this for a redirect to another
    // scheme, or for an answer that isn't HTTP at all (what it takes for HTTP/0.9).
    case CURLE_UNSUPPORTED_PROTOCOL:
        return followedRedirect ? ERROR_HTTP_REDIRECT_FAILED : ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_URL_MALFORMAT:
        return followedRedirect ? ERROR_HTTP_REDIRECT_FAILED : ERROR_INTERNET_INVALID_URL;
    case CURLE_TOO_MANY_REDIRECTS:
        return ERROR_HTTP_REDIRECT_FAILED;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
        return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT:
        return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT:
        return ERROR_INTERNET_TIMEOUT;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
        return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
        return osError == ECONNRESET ? ERROR_INTERNET_CONNECTION_RESET : ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_PEER_FAILED_VERIFICATION:
        return certificateError(verifyResult);
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
        return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    case CURLE_SSL_CLIENTCERT:
        return ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED;
    case CURLE_BAD_CONTENT_ENCODING:
        return ERROR_INTERNET_DECODING_FAILED;
    case CURLE_LOGIN_DENIED:
        return ERROR_INTERNET_LOGIN_FAILURE;
    case CURLE_ABORTED_BY_CALLBACK:
        return ERROR_INTERNET_OPERATION_CANCELLED;
    case CURLE_OUT_OF_MEMORY:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_INTERNET_CONNECTION_ABORTED;
    }
}

DWORD errorFromSetup(int curlCode)
{
    switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_OK:
        return ERROR_SUCCESS;
    case CURLE_OUT_OF_MEMORY:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_INTERNET_INTERNAL_ERROR;
    }
}

} // namespace wininet

namespace {
// FormatMessageA reads this family's texts for GetModuleHandleA("wininet.dll").
const bool messageTableHandedOver = (platform::SetInternetMessageTable(&wininet::errorText), true);
} // namespace
