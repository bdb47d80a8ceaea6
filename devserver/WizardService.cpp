#include "WizardService.h"

#include "AccountStore.h"
#include "QueryString.h"

#include <charconv>
#include <cstdio>
#include <optional>
#include <string_view>
#include <thread>

namespace dorvane::devserver {
namespace {

constexpr const char* MaskedValue = "***";
constexpr const char* LoginPath = "/wizard_files/make_login.asp";
constexpr const char* CompletePath = "/wizard_files/make_usr.asp";

HttpReply numberAnswer(int value)
{
    return {200, std::to_string(value)};
}

bool isPasswordParameter(std::string_view name)
{
    for (const char* password : PasswordParameters) {
        if (name == password)
            return true;
    }
    return false;
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
std::optional<LoginAnswer> checkField(const RequestTarget& target, const Field& field)
{
    const std::optional<std::string> value = target.value(field.name);
    if (!value || trimmed(*value).empty())
        return field.whenMissing;
    if (value->size() > WizardService::MaxFieldBytes)
        return LoginAnswer::FieldTooLong;
    if (value->find('\0') != std::string::npos)
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
    const RequestTarget parsed = RequestTarget::parse(target);
    if (!parsed.hasQuery())
        return printable(target);
    std::string out(parsed.rawPath());
    char separator = '?';
    for (const RequestTarget::Parameter& parameter : parsed.parameters()) {
        out += separator;
        separator = '&';
        out += parameter.rawName;
        if (parameter.hasValue)
            out += "=" + std::string(isPasswordParameter(parameter.name) ? MaskedValue : parameter.rawValue);
    }
    return printable(out);
}

WizardService::WizardService(AccountStore& store, Options options)
    : m_store(store)
    , m_options(std::move(options))
{
    if (!m_options.log)
        m_options.log = writeToStandardError;
    m_server = std::make_unique<HttpServer>(
        m_options.limits, [this](const HttpRequest& request) { return answer(request); },
        [this](const HttpRequest& request, const HttpReply& reply) { logRequest(request, reply); },
        [this](const std::string& notice) { log(notice); });
}

WizardService::~WizardService()
{
    stop();
}

int WizardService::bind(const std::string& host, int port)
{
    return m_server->bind(host, port);
}

bool WizardService::serve()
{
    return m_server->serve();
}

bool WizardService::isRunning() const
{
    return m_server->isRunning();
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

HttpReply WizardService::answer(const HttpRequest& request)
{
    const RequestTarget target = RequestTarget::parse(request.target);
    if (request.method == "GET" && target.path() == LoginPath)
        return makeLogin(target);
    if (request.method == "GET" && target.path() == CompletePath)
        return makeUsr(target);
    return {404, "Not Found"};
}

HttpReply WizardService::makeLogin(const RequestTarget& target)
{
    static constexpr Field Fields[] = {
        {"userlogin", LoginAnswer::LoginMissing},
        {"userpassword", LoginAnswer::PasswordMissing},
        {"email", LoginAnswer::EmailMissing},
    };
    for (const Field& field : Fields) {
        if (const auto refusal = checkField(target, field))
            return numberAnswer(static_cast<int>(*refusal));
    }
    const std::string login(trimmed(*target.value("userlogin")));
    const std::string password(trimmed(*target.value("userpassword")));
    const std::string email(trimmed(*target.value("email")));

    std::optional<std::string> hash;
    {
        std::lock_guard lock(m_hashMutex);
        hash = hashPassword(password, m_options.passwordCost);
    }
    if (!hash)
        return numberAnswer(static_cast<int>(LoginAnswer::StorageFailed));
    const AccountStore::Created created = m_store.createAccount(login, *hash, email);
    switch (created.result) {
    case AccountStore::CreateResult::Created:
        return {200, std::to_string(created.id)};
    case AccountStore::CreateResult::LoginTaken:
        return numberAnswer(static_cast<int>(LoginAnswer::LoginTaken));
    case AccountStore::CreateResult::StorageFailed:
        break;
    }
    return numberAnswer(static_cast<int>(LoginAnswer::StorageFailed));
}

HttpReply WizardService::makeUsr(const RequestTarget& target)
{
    const std::optional<int64_t> id = parseId(target.value("id").value_or(std::string()));
    if (!id)
        return numberAnswer(static_cast<int>(CompleteAnswer::IdInvalid));
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
    return numberAnswer(static_cast<int>(result));
}

void WizardService::logRequest(const HttpRequest& request, const HttpReply& reply)
{
    log(printable(request.method) + " " + maskedTarget(request.target) + " " + std::to_string(reply.status) + " \""
        + printable(reply.body) + "\"");
}

void WizardService::log(const std::string& line)
{
    std::lock_guard lock(m_logMutex);
    m_options.log(line);
}

} // namespace dorvane::devserver
