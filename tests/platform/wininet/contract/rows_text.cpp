// Rows: the texts FormatMessageA gives for the Internet error codes the layer reports, read as
// the component reads them (the module "wininet.dll", a 1024-byte buffer).
#include "contract.h"

namespace contract {

namespace {

std::string textOf(DWORD code)
{
    // The module is loaded once a call has been made into it.
    InternetCloseHandle(nullptr);
    HMODULE module = GetModuleHandleA("wininet.dll");
    if (module == nullptr)
        return "module null/" + number(GetLastError());
    char text[1024] = {};
    const DWORD count = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE, module, code, 0, text, sizeof text - 1, nullptr);
    if (count == 0)
        return "0/" + number(GetLastError());
    return number(count) + " \"" + escape(text) + "\"";
}

#define TEXT_ROW_OF(name, code) \
    {"text." name, "-", "FormatMessageA(FROM_HMODULE, GetModuleHandleA(\"wininet.dll\"), " name ", 0, 1023 bytes)", \
     [](const Peer&) { return textOf(code); }}
#define TEXT_ROW(code) TEXT_ROW_OF(#code, code)

} // namespace

std::vector<Row> textRows()
{
    return {
        TEXT_ROW(ERROR_INTERNET_TIMEOUT),
        TEXT_ROW(ERROR_INTERNET_INTERNAL_ERROR),
        TEXT_ROW(ERROR_INTERNET_INVALID_URL),
        TEXT_ROW(ERROR_INTERNET_UNRECOGNIZED_SCHEME),
        TEXT_ROW(ERROR_INTERNET_NAME_NOT_RESOLVED),
        TEXT_ROW(ERROR_INTERNET_INVALID_OPTION),
        TEXT_ROW(ERROR_INTERNET_BAD_OPTION_LENGTH),
        TEXT_ROW(ERROR_INTERNET_LOGIN_FAILURE),
        TEXT_ROW(ERROR_INTERNET_INVALID_OPERATION),
        TEXT_ROW(ERROR_INTERNET_OPERATION_CANCELLED),
        TEXT_ROW(ERROR_INTERNET_INCORRECT_HANDLE_TYPE),
        TEXT_ROW(ERROR_INTERNET_INCORRECT_HANDLE_STATE),
        TEXT_ROW(ERROR_INTERNET_CANNOT_CONNECT),
        TEXT_ROW(ERROR_INTERNET_CONNECTION_ABORTED),
        TEXT_ROW(ERROR_INTERNET_CONNECTION_RESET),
        TEXT_ROW(ERROR_INTERNET_FORCE_RETRY),
        TEXT_ROW(ERROR_INTERNET_SEC_CERT_DATE_INVALID),
        TEXT_ROW(ERROR_INTERNET_SEC_CERT_CN_INVALID),
        TEXT_ROW(ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED),
        TEXT_ROW(ERROR_INTERNET_INVALID_CA),
        TEXT_ROW(ERROR_HTTP_HEADER_NOT_FOUND),
        TEXT_ROW(ERROR_HTTP_INVALID_SERVER_RESPONSE),
        TEXT_ROW(ERROR_HTTP_INVALID_HEADER),
        TEXT_ROW(ERROR_HTTP_INVALID_QUERY_REQUEST),
        TEXT_ROW(ERROR_HTTP_REDIRECT_FAILED),
        TEXT_ROW(ERROR_INTERNET_SECURITY_CHANNEL_ERROR),
        // Not every header set names this one.
        TEXT_ROW_OF("ERROR_INTERNET_DECODING_FAILED", 12175),
        {"text.unknown-code", "-", "FormatMessageA(FROM_HMODULE, wininet.dll, 12999, 0, 1023 bytes)",
         [](const Peer&) { return textOf(12999); }},
    };
}

} // namespace contract
