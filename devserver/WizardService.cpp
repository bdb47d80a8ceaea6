#include "WizardService.h"

#include "AccountStore.h"
#include "QueryString.h"

#include <algorithm>
#include <cctype>
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

// Letter case ignored: the service reads only "userpassword", but a client that spells it
// otherwise is still sending a password, and the log must not show it.
bool isPasswordParameter(std::string_view name)
{
    const auto sameIgnoringCase = [name](std::string_view password) {
        return std::equal(name.begin(), name.end(), password.begin(), password.end(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        });
    };
    return std::any_of(std::begin(PasswordParameters), std::end(PasswordParameters), sameIgnoringCase);
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
    if (!m_options.hasher) {
        m_options.hasher = [cost = m_options.passwordCost](std::string_view password) {
            return hashPassword(password, cost);
        };
    }
    m_signUps = std::make_unique<TaskQueue>(m_options.maxWaitingSignUps);
    m_server = std::make_unique<HttpServer>(
        m_options.limits, [this](const HttpRequest& request, Responder respond) { answer(request, std::move(respond)); },
        [this](const HttpRequest& request, const HttpReply& reply) { logRequest(request, reply); },
        [this](const std::string& notice) { log(notice); });
}

WizardService::~WizardService()
{
    stop();
    m_signUps->stop(); // the hash running finishes; its answer and the waiting ones' are dropped
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

std::size_t WizardService::signUpsWaiting() const
{
    return m_signUps->waiting();
}

void WizardService::answer(const HttpRequest& request, Responder respond)
{
    const RequestTarget target = RequestTarget::parse(request.target);
    const bool login = target.path() == LoginPath;
    if (!login && target.path() != CompletePath)
        return respond({404, "Not Found"});
    if (request.method != "GET")
        return respond({405, "Method Not Allowed", {{"Allow", "GET"}}});
    if (login)
        return makeLogin(target, std::move(respond));
    respond(makeUsr(target));
}

void WizardService::makeLogin(const RequestTarget& target, Responder respond)
{
    static constexpr Field Fields[] = {
        {"userlogin", LoginAnswer::LoginMissing},
        {"userpassword", LoginAnswer::PasswordMissing},
        {"email", LoginAnswer::EmailMissing},
    };
    for (const Field& field : Fields) {
        if (const auto refusal = checkField(target, field))
            return respond(numberAnswer(static_cast<int>(*refusal)));
    }
    std::string login(trimmed(*target.value("userlogin")));
    std::string password(trimmed(*target.value("userpassword")));
    std::string email(trimmed(*target.value("email")));
    // A taken login needs no hash to be refused. (The store decides a race for one at its insert.)
    if (m_store.findByLogin(login))
        return respond(numberAnswer(static_cast<int>(LoginAnswer::LoginTaken)));

    const bool queued = m_signUps->tryPost(
        [this, respond, login = std::move(login), password = std::move(password), email = std::move(email)] {
            respond(createAccount(login, password, email));
        });
    if (!queued) {
        respond({503, "Service Unavailable", {},
                 std::to_string(m_options.maxWaitingSignUps) + " sign-ups wait for their password hash already"});
    }
}

// On the hashing thread.
HttpReply WizardService::createAccount(const std::string& login, const std::string& password, const std::string& email)
{
    const std::optional<std::string> hash = m_options.hasher(password);
    if (!hash)
        return {200, std::to_string(static_cast<int>(LoginAnswer::StorageFailed)), {}, "the password hash failed"};
    const AccountStore::Created created = m_store.createAccount(login, *hash, email);
    switch (created.result) {
    case AccountStore::CreateResult::Created:
        return {200, std::to_string(created.id)};
    case AccountStore::CreateResult::LoginTaken:
        return numberAnswer(static_cast<int>(LoginAnswer::LoginTaken));
    case AccountStore::CreateResult::StorageFailed:
        break;
    }
    return {200, std::to_string(static_cast<int>(LoginAnswer::StorageFailed)), {}, "storage: " + created.error};
}

HttpReply WizardService::makeUsr(const RequestTarget& target)
{
    const std::optional<int64_t> id = parseId(target.value("id").value_or(std::string()));
    if (!id)
        return numberAnswer(static_cast<int>(CompleteAnswer::IdInvalid));
    const AccountStore::Completed completed = m_store.completeAccount(*id);
    switch (completed.result) {
    case AccountStore::CompleteResult::Completed:
        return numberAnswer(static_cast<int>(CompleteAnswer::Completed));
    case AccountStore::CompleteResult::UnknownId:
        return numberAnswer(static_cast<int>(CompleteAnswer::UnknownId));
    case AccountStore::CompleteResult::StorageFailed:
        break;
    }
    return {200, std::to_string(static_cast<int>(CompleteAnswer::StorageFailed)), {}, "storage: " + completed.error};
}

void WizardService::logRequest(const HttpRequest& request, const HttpReply& reply)
{
    std::string line = printable(request.method) + " " + maskedTarget(request.target) + " "
        + std::to_string(reply.status) + " \"" + printable(reply.body) + "\"";
    if (!reply.logNote.empty())
        line += " (" + printable(reply.logNote) + ")";
    log(line);
}

void WizardService::log(const std::string& line)
{
    std::lock_guard lock(m_logMutex);
    m_options.log(line);
}

} // namespace dorvane::devserver
