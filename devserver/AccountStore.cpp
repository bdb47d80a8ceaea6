#include "AccountStore.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

namespace dorvane::devserver {
namespace {

// A second server on the same file waits this long for the other's write to finish.
constexpr int BusyTimeoutMilliseconds = 5000;

constexpr const char* Schema = R"sql(
CREATE TABLE IF NOT EXISTS accounts (
    id            INTEGER PRIMARY KEY AUTOINCREMENT,
    login         TEXT NOT NULL,
    login_key     TEXT NOT NULL UNIQUE,
    password_hash TEXT NOT NULL,
    email         TEXT NOT NULL,
    complete      INTEGER NOT NULL DEFAULT 0,
    created_at    TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%SZ', 'now'))
);
)sql";

struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

Statement prepare(sqlite3* db, const char* sql)
{
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK)
        return nullptr;
    return Statement(statement);
}

// Binds the bytes as they are (SQLITE_TRANSIENT copies them), so a login with a NUL in the middle
// would still be stored whole; the service refuses such logins before they get here.
bool bindText(sqlite3_stmt* statement, int index, std::string_view text)
{
    return sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT)
        == SQLITE_OK;
}

std::string columnText(sqlite3_stmt* statement, int column)
{
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, column));
    const int size = sqlite3_column_bytes(statement, column);
    return bytes ? std::string(bytes, static_cast<size_t>(size)) : std::string();
}

// The uniqueness key of a login: ASCII letters folded to lower case, every other byte kept, so
// logins in other scripts compare exactly.
std::string loginKey(std::string_view login)
{
    std::string key(login);
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return key;
}

// SQLite would create the file with the process umask; the database holds e-mail addresses and
// password hashes, so a new file is created for the owner only. An existing file must be open for
// writing; the message says which of the two failed.
bool createPrivateFile(const std::string& path, std::string& error)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) {
        fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            error = "cannot open " + path + " for writing: " + std::strerror(errno);
            return false;
        }
    }
    if (fd < 0) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    ::close(fd);
    return true;
}

constexpr const char* SelectAccount = "SELECT id, login, password_hash, email, complete FROM accounts";

std::optional<Account> readAccount(sqlite3_stmt* select)
{
    if (sqlite3_step(select) != SQLITE_ROW)
        return std::nullopt;
    Account account;
    account.id = sqlite3_column_int64(select, 0);
    account.login = columnText(select, 1);
    account.passwordHash = columnText(select, 2);
    account.email = columnText(select, 3);
    account.complete = sqlite3_column_int(select, 4) != 0;
    return account;
}

} // namespace

void AccountStore::ConnectionCloser::operator()(sqlite3* db) const
{
    sqlite3_close_v2(db);
}

AccountStore::AccountStore() = default;
AccountStore::~AccountStore() = default;

bool AccountStore::open(const std::string& path)
{
    std::lock_guard lock(m_mutex);
    m_db.reset();
    m_error.clear();
    const bool inMemory = path == ":memory:";
    if (!inMemory && !createPrivateFile(path, m_error))
        return false;

    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    m_db.reset(db);
    if (rc != SQLITE_OK) {
        m_error = "cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        m_db.reset();
        return false;
    }
    sqlite3_busy_timeout(db, BusyTimeoutMilliseconds);
    if (!execute(Schema)) {
        m_error = path + " is not an account database: " + m_error;
        m_db.reset();
        return false;
    }
    return true;
}

std::string AccountStore::errorText() const
{
    std::lock_guard lock(m_mutex);
    return m_error;
}

bool AccountStore::execute(const char* sql)
{
    char* message = nullptr;
    if (sqlite3_exec(m_db.get(), sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    m_error = message ? message : "unknown error";
    sqlite3_free(message);
    return false;
}

AccountStore::Created AccountStore::createAccount(std::string_view login, std::string_view passwordHash,
                                                  std::string_view email)
{
    std::lock_guard lock(m_mutex);
    if (!m_db)
        return {};
    Statement insert = prepare(m_db.get(),
        "INSERT INTO accounts (login, login_key, password_hash, email) VALUES (?1, ?2, ?3, ?4)");
    if (!insert)
        return {};
    const std::string key = loginKey(login);
    if (!bindText(insert.get(), 1, login) || !bindText(insert.get(), 2, key)
        || !bindText(insert.get(), 3, passwordHash) || !bindText(insert.get(), 4, email))
        return {};

    // The UNIQUE constraint decides a taken login, so two requests racing for one name can't both win.
    const int rc = sqlite3_step(insert.get());
    if (rc == SQLITE_DONE)
        return {CreateResult::Created, sqlite3_last_insert_rowid(m_db.get())};
    if (sqlite3_extended_errcode(m_db.get()) == SQLITE_CONSTRAINT_UNIQUE)
        return {CreateResult::LoginTaken, 0};
    m_error = sqlite3_errmsg(m_db.get());
    return {};
}

AccountStore::CompleteResult AccountStore::completeAccount(int64_t id)
{
    std::lock_guard lock(m_mutex);
    if (!m_db)
        return CompleteResult::StorageFailed;
    Statement update = prepare(m_db.get(), "UPDATE accounts SET complete = 1 WHERE id = ?1");
    if (!update || sqlite3_bind_int64(update.get(), 1, id) != SQLITE_OK)
        return CompleteResult::StorageFailed;
    if (sqlite3_step(update.get()) != SQLITE_DONE) {
        m_error = sqlite3_errmsg(m_db.get());
        return CompleteResult::StorageFailed;
    }
    return sqlite3_changes(m_db.get()) > 0 ? CompleteResult::Completed : CompleteResult::UnknownId;
}

std::optional<Account> AccountStore::findById(int64_t id) const
{
    std::lock_guard lock(m_mutex);
    if (!m_db)
        return std::nullopt;
    Statement select = prepare(m_db.get(), (std::string(SelectAccount) + " WHERE id = ?1").c_str());
    if (!select || sqlite3_bind_int64(select.get(), 1, id) != SQLITE_OK)
        return std::nullopt;
    return readAccount(select.get());
}

std::optional<Account> AccountStore::findByLogin(std::string_view login) const
{
    std::lock_guard lock(m_mutex);
    if (!m_db)
        return std::nullopt;
    Statement select = prepare(m_db.get(), (std::string(SelectAccount) + " WHERE login_key = ?1").c_str());
    if (!select || !bindText(select.get(), 1, loginKey(login)))
        return std::nullopt;
    return readAccount(select.get());
}

} // namespace dorvane::devserver
