#pragma once
// The service's accounts in one SQLite database: a file, or ":memory:" for a run that forgets
// everything when it ends. Logins are unique whatever their letter case, for every letter alike
// ("Alice" and "alice", "Ünï" and "üNÏ" are the same account; "straße" and "STRASSE" are not): they
// compare by platform::unicode::caseFolded. A login keeps the spelling it was created with. Ids
// start at 1, grow with each account and are never reused. Safe to share between the server's
// worker threads.
//
// A file is adopted only when it is empty or holds the accounts table alone, in this layout or in
// release 1.0.0's (which ignored the case of A-Z only, and is upgraded in place on open, all or
// nothing); anything else is refused and left as it is.
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
        int64_t id = 0;    // set when result is Created
        std::string error; // SQLite's words when storing failed
    };
    enum class CompleteResult { Completed, UnknownId, StorageFailed };
    struct Completed {
        CompleteResult result = CompleteResult::StorageFailed;
        std::string error;
    };

    AccountStore();
    ~AccountStore();
    AccountStore(const AccountStore&) = delete;
    AccountStore& operator=(const AccountStore&) = delete;

    // Opens (creating when missing, with mode 0600) the database at `path`; ":memory:" keeps it in
    // memory. False with errorText() set when the file can't be opened, is not a regular file or
    // not an account database, or another program holds it locked.
    [[nodiscard]] bool open(const std::string& path);
    [[nodiscard]] std::string errorText() const;
    // What opening did that is worth a line in the log (an upgrade), or "".
    [[nodiscard]] std::string notice() const;

    [[nodiscard]] Created createAccount(std::string_view login, std::string_view passwordHash,
                                        std::string_view email);
    // Marks the account complete; completing it again is no error.
    [[nodiscard]] Completed completeAccount(int64_t id);

    [[nodiscard]] std::optional<Account> findById(int64_t id) const;
    // The account whose login compares equal to `login`; of accounts that release 1.0.0 kept
    // apart and that now compare equal, the one created first.
    [[nodiscard]] std::optional<Account> findByLogin(std::string_view login) const;

private:
    struct ConnectionCloser {
        void operator()(sqlite3* db) const;
    };

    [[nodiscard]] bool adopt(const std::string& path);
    [[nodiscard]] bool upgradeFromFirstRelease();

    mutable std::mutex m_mutex; // guards everything below: one statement at a time
    std::unique_ptr<sqlite3, ConnectionCloser> m_db;
    std::string m_error;
    std::string m_notice;
};

} // namespace dorvane::devserver
