#pragma once
// The service's two wizard scripts over HTTP:
//
//   GET /wizard_files/make_login.asp?userlogin=L&userpassword=P&email=E
//       creates the account and answers its id ("1", "2", ...), "0" when the login is taken, or a
//       negative LoginAnswer when a field is missing, empty, too long or unusable.
//   GET /wizard_files/make_usr.asp?id=N
//       marks the account complete: "1", "0" for an unknown id, or a negative CompleteAnswer.
//
// Answers are text/plain without a line break. Every other path is a 404; a method other than GET
// on the two scripts a 405 with "Allow: GET". Query values are
// percent-decoded ("+" reads as a space, as in any form query) by RequestTarget, the one decoder
// the service has. Login, password and e-mail are
// trimmed of leading and trailing bytes 0x20 and below before use, because that is how the wizard
// stores them: the account then holds exactly the credentials the user's machine keeps.
// One line per request goes to the log sink, with every value the service reads as a password
// masked, and for an answer -6 the storage's own words. Slow and idle peers are bounded by
// HttpServer's limits (Options::limits).
//
// A sign-up's password hash is the one slow step (a fraction of a second and 64 MiB at the
// interactive cost): hashes run one at a time on a thread of their own, with at most
// Options::maxWaitingSignUps waiting; past that a sign-up is answered 503 at once, which the
// wizard shows as a network failure. Everything else (make_usr, a refused or taken login, any
// other path) is answered by the workers at once, whatever the sign-ups waiting.
//
//   AccountStore store;
//   (void)store.open(":memory:");
//   WizardService service(store, {});
//   const int port = service.bind("127.0.0.1", 0);
//   std::thread worker([&] { (void)service.serve(); });
//   ... service.stop(); worker.join();
#include "HttpServer.h"
#include "PasswordHash.h"
#include "TaskQueue.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace dorvane::devserver {

class AccountStore;
class RequestTarget;

// Answers of make_login.asp other than a new account's id.
enum class LoginAnswer {
    LoginTaken = 0,
    LoginMissing = -1,    // no userlogin, or empty once trimmed
    PasswordMissing = -2, // no userpassword, or empty once trimmed
    EmailMissing = -3,    // no email, or empty once trimmed
    FieldTooLong = -4,    // a field longer than MaxFieldBytes once decoded
    FieldHoldsNul = -5,   // a field holding a NUL byte (%00)
    StorageFailed = -6,   // the account could not be stored or the password not hashed
};

// Answers of make_usr.asp.
enum class CompleteAnswer {
    Completed = 1,      // also when the account was complete already
    UnknownId = 0,      // no account has this id
    IdInvalid = -1,     // no id, or not a decimal number once trimmed
    StorageFailed = -6,
};

class WizardService {
public:
    // Longest login, password or e-mail accepted, in bytes after percent-decoding.
    static constexpr size_t MaxFieldBytes = 256;

    using LogSink = std::function<void(const std::string& line)>;
    // The salted hash of a password, or nothing when hashing failed. Runs on the hashing thread.
    using Hasher = std::function<std::optional<std::string>(std::string_view password)>;
    struct Options {
        PasswordCost passwordCost = PasswordCost::Interactive;
        LogSink log; // receives each request's line without its newline; empty: standard error
        HttpServer::Limits limits {};
        std::size_t maxWaitingSignUps = 16; // --help and the README name this number
        Hasher hasher; // empty: hashPassword at passwordCost (a test hands in one it can hold)
    };

    WizardService(AccountStore& store, Options options);
    ~WizardService();
    WizardService(const WizardService&) = delete;
    WizardService& operator=(const WizardService&) = delete;

    // Binds host:port; port 0 picks a free one. The bound port, or -1 when binding failed.
    [[nodiscard]] int bind(const std::string& host, int port);
    // Serves until stop() (once); false when not bound.
    [[nodiscard]] bool serve();
    [[nodiscard]] bool isRunning() const;
    // Waits until serve() runs its loop (connections are queued from bind() on).
    [[nodiscard]] bool waitUntilRunning(std::chrono::milliseconds timeout) const;
    // Thread-safe; serve() returns at once, also when stop() came first.
    void stop();
    // Sign-ups waiting for their password hash now, the one being hashed not counted.
    [[nodiscard]] std::size_t signUpsWaiting() const;

private:
    void answer(const HttpRequest& request, Responder respond);
    void makeLogin(const RequestTarget& target, Responder respond);
    HttpReply createAccount(const std::string& login, const std::string& password, const std::string& email);
    HttpReply makeUsr(const RequestTarget& target);
    void logRequest(const HttpRequest& request, const HttpReply& reply);
    void log(const std::string& line);

    AccountStore& m_store;
    Options m_options;
    std::mutex m_logMutex; // keeps log lines whole
    // Sign-ups waiting for their hash; stopped before the server goes, since its tasks hold
    // requests' Responders.
    std::unique_ptr<TaskQueue> m_signUps;
    std::unique_ptr<HttpServer> m_server; // last: its workers call the members above
};

// The query parameters the service reads as passwords; the log never shows their values.
inline constexpr const char* PasswordParameters[] = {"userpassword"};

// The request target as logged: the value of every parameter named in PasswordParameters (by its
// decoded name, exactly as the service reads it) replaced by "***", bytes that aren't printable
// ASCII written as \xNN.
[[nodiscard]] std::string maskedTarget(const std::string& target);

} // namespace dorvane::devserver
