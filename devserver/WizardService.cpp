#include "WizardService.h"

#include "AccountStore.h"

#include <charconv>
#include <cstdio>
#include <httplib.h>
#include <optional>
#include <sys/socket.h>
#include <string_view>
#include <thread>

namespace dorvane::devserver {
namespace {

constexpr const char* PlainText = "text/plain";
constexpr const char* MaskedValue = "***";
// Nothing the wizard sends has a body; anything larger is refused by the server before routing.
constexpr size_t MaxPayloadBytes = 4096;
constexpr time_t ReadTimeoutSeconds = 5;

std::string answerText(int value)
{
    return std::to_string(value);
}

void answer(httplib::Response& response, const std::string& text)
{
    response.status = 200;
    response.set_content(text, PlainText);
}

// Bytes 0x20 and below are blanks to the wizard: it trims them from what it stores.
std::string_view trimmed(std::string_view text)
{
    const auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

struct Field {
    const char* name;
    LoginAnswer whenMissing;
};

// The checks of one field, in the order the answer reports them. Empty optional: usable.
std::optional<LoginAnswer> checkField(const httplib::Request& request, const Field& field)
{
    if (!request.has_param(field.name))
        return field.whenMissing;
    const std::string value = request.get_param_value(field.name);
    if (trimmed(value).empty())
        return field.whenMissing;
    if (value.size() > WizardService::MaxFieldBytes)
        return LoginAnswer::FieldTooLong;
    if (value.find('\0') != std::string::npos)
        return LoginAnswer::FieldHoldsNul;
    return std::nullopt;
}

// A decimal account id, blanks around it allowed (the wizard sends the first answer exactly as it
// came, " 17" included). Signs, other bases and anything after the digits are refused.
std::optional<int64_t> parseId(std::string_view text)
{
    text = trimmed(text);
    if (text.empty() || text.front() < '0' || text.front() > '9')
        return std::nullopt;
    int64_t id = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return id;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Enough decoding to recognise a parameter name however the client spelled it ("user%70assword").
std::string percentDecoded(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else if (text[i] == '+') {
            out += ' ';
        } else {
            out += text[i];
        }
    }
    return out;
}

// Log lines are one line each, whatever a client sends.
std::string printable(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '\\') {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        }
    }
    return out;
}

void writeToStandardError(const std::string& line)
{
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

} // namespace

std::string maskedTarget(const std::string& target)
{
    const size_t queryStart = target.find('?');
    if (queryStart == std::string::npos)
        return printable(target);
    std::string out = target.substr(0, queryStart + 1);
    std::string_view query = std::string_view(target).substr(queryStart + 1);
    bool first = true;
    while (true) {
        const size_t end = query.find('&');
        const std::string_view part = query.substr(0, end);
        const size_t equals = part.find('=');
        if (!first)
            out += '&';
        first = false;
        if (equals != std::string_view::npos && percentDecoded(part.substr(0, equals)) == "userpassword")
            out += std::string(part.substr(0, equals + 1)) + MaskedValue;
        else
            out += part;
        if (end == std::string_view::npos)
            break;
        query.remove_prefix(end + 1);
    }
    return printable(out);
}

WizardService::WizardService(AccountStore& store, Options options)
    : m_store(store)
    , m_options(std::move(options))
    , m_server(std::make_unique<httplib::Server>())
{
    if (!m_options.log)
        m_options.log = writeToStandardError;

    // The library's default socket options include SO_REUSEPORT, which lets a second service bind
    // the same port and silently take half of its connections. SO_REUSEADDR alone still lets a
    // restarted service reuse a port whose old connections linger in TIME_WAIT.
    m_server->set_socket_options([](socket_t socket) {
        const int on = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    });
    m_server->set_payload_max_length(MaxPayloadBytes);
    m_server->set_read_timeout(ReadTimeoutSeconds, 0);
    m_server->Get("/wizard_files/make_login.asp",
        [this](const httplib::Request& request, httplib::Response& response) { makeLogin(request, response); });
    m_server->Get("/wizard_files/make_usr.asp",
        [this](const httplib::Request& request, httplib::Response& response) { makeUsr(request, response); });
    m_server->set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty())
            response.set_content(response.status == 404 ? "Not Found" : "Error", PlainText);
    });
    m_server->set_logger([this](const httplib::Request& request, const httplib::Response& response) {
        logRequest(request, response);
    });
}

WizardService::~WizardService()
{
    stop();
}

int WizardService::bind(const std::string& host, int port)
{
    if (port == 0)
        return m_server->bind_to_any_port(host);
    return m_server->bind_to_port(host, port) ? port : -1;
}

bool WizardService::serve()
{
    return m_server->listen_after_bind();
}

bool WizardService::isRunning() const
{
    return m_server->is_running();
}

bool WizardService::waitUntilRunning(std::chrono::milliseconds timeout) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!isRunning()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void WizardService::stop()
{
    m_server->stop();
}

void WizardService::makeLogin(const httplib::Request& request, httplib::Response& response)
{
    static constexpr Field Fields[] = {
        {"userlogin", LoginAnswer::LoginMissing},
        {"userpassword", LoginAnswer::PasswordMissing},
        {"email", LoginAnswer::EmailMissing},
    };
    for (const Field& field : Fields) {
        if (const auto refusal = checkField(request, field)) {
            answer(response, answerText(static_cast<int>(*refusal)));
            return;
        }
    }
    const std::string login(trimmed(request.get_param_value("userlogin")));
    const std::string password(trimmed(request.get_param_value("userpassword")));
    const std::string email(trimmed(request.get_param_value("email")));

    std::optional<std::string> hash;
    {
        std::lock_guard lock(m_hashMutex);
        hash = hashPassword(password, m_options.passwordCost);
    }
    if (!hash) {
        answer(response, answerText(static_cast<int>(LoginAnswer::StorageFailed)));
        return;
    }
    const AccountStore::Created created = m_store.createAccount(login, *hash, email);
    switch (created.result) {
    case AccountStore::CreateResult::Created:
        answer(response, std::to_string(created.id));
        return;
    case AccountStore::CreateResult::LoginTaken:
        answer(response, answerText(static_cast<int>(LoginAnswer::LoginTaken)));
        return;
    case AccountStore::CreateResult::StorageFailed:
        break;
    }
    answer(response, answerText(static_cast<int>(LoginAnswer::StorageFailed)));
}

void WizardService::makeUsr(const httplib::Request& request, httplib::Response& response)
{
    const std::optional<int64_t> id = parseId(request.get_param_value("id"));
    if (!id) {
        answer(response, answerText(static_cast<int>(CompleteAnswer::IdInvalid)));
        return;
    }
    CompleteAnswer result = CompleteAnswer::StorageFailed;
    switch (m_store.completeAccount(*id)) {
    case AccountStore::CompleteResult::Completed:
        result = CompleteAnswer::Completed;
        break;
    case AccountStore::CompleteResult::UnknownId:
        result = CompleteAnswer::UnknownId;
        break;
    case AccountStore::CompleteResult::StorageFailed:
        break;
    }
    answer(response, answerText(static_cast<int>(result)));
}

void WizardService::logRequest(const httplib::Request& request, const httplib::Response& response)
{
    const std::string& target = request.target.empty() ? request.path : request.target;
    const std::string line = printable(request.method) + " " + maskedTarget(target) + " "
        + std::to_string(response.status) + " \"" + printable(response.body) + "\"";
    std::lock_guard lock(m_logMutex);
    m_options.log(line);
}

} // namespace dorvane::devserver
