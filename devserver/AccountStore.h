#pragma once
// The service's accounts in one SQLite database: a file, or ":memory:" for a run that forgets
// everything when it ends. Logins are unique regardless of ASCII letter case ("Alice" and "alice"
// are the same account); the login keeps the case it was created with. Ids start at 1, grow with
// each account and are never reused. Safe to share between the server's worker threads.
//
//   AccountStore store;
//   if (!store.open(":memory:")) { std::cerr << store.errorText(); }
//   auto created = store.createAccount("alice", hash, "alice@example.com");
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;

namespace dorvane::devserver {

struct Account {
    int64_t id = 0;
    std::string login;
    std::string passwordHash;
    std::string email;
    bool complete = false;
};

class AccountStore {
public:
    enum class CreateResult { Created, LoginTaken, StorageFailed };
    struct Created {
        CreateResult result = CreateResult::StorageFailed;
        int64_t id = 0; // set when result is Created
    };
    enum class CompleteResult { Completed, UnknownId, StorageFailed };

    AccountStore();
    ~AccountStore();
    AccountStore(const AccountStore&) = delete;
    AccountStore& operator=(const AccountStore&) = delete;

    // Opens (creating when missing, with mode 0600) the database at `path`; ":memory:" keeps it in
    // memory. False with errorText() set when the file can't be opened or isn't a database.
    [[nodiscard]] bool open(const std::string& path);
    [[nodiscard]] std::string errorText() const;

    [[nodiscard]] Created createAccount(std::string_view login, std::string_view passwordHash,
                                        std::string_view email);
    // Marks the account complete; completing it again is no error.
    [[nodiscard]] CompleteResult completeAccount(int64_t id);

    [[nodiscard]] std::optional<Account> findById(int64_t id) const;
    [[nodiscard]] std::optional<Account> findByLogin(std::string_view login) const;

private:
    struct ConnectionCloser {
        void operator()(sqlite3* db) const;
    };

    [[nodiscard]] bool execute(const char* sql);

    mutable std::mutex m_mutex; // guards m_db and m_error: one statement at a time
    std::unique_ptr<sqlite3, ConnectionCloser> m_db;
    std::string m_error;
};

} // namespace dorvane::devserver
