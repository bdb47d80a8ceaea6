#include "AccountStore.h"

#include "unicode_text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace dorvane::devserver {
namespace {

// A second server on the same file waits this long for the other's write to finish.
constexpr int BusyTimeoutMilliseconds = 5000;

// Marks a database as this service's account store ("DRVA"); release 1.0.0 wrote none (0).
constexpr int ApplicationId = 0x44525641;
// user_version: 0 is release 1.0.0's layout, whose login_key folded A-Z only.
constexpr int Layout = 2;

constexpr const char* Schema = R"sql(
CREATE TABLE accounts (
    id            INTEGER PRIMARY KEY AUTOINCREMENT,
    login         TEXT NOT NULL,
    login_key     TEXT NOT NULL UNIQUE,
    password_hash TEXT NOT NULL,
    email         TEXT NOT NULL,
    complete      INTEGER NOT NULL DEFAULT 0,
    created_at    TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%SZ', 'now'))
);
PRAGMA application_id = 1146246721;
PRAGMA user_version = 2;
)sql";
static_assert(ApplicationId == 1146246721 && Layout == 2, "the schema text spells these in decimal");
// The accounts table's columns, in order, in both layouts.
const std::vector<std::string> Columns = {"id", "login", "login_key", "password_hash", "email", "complete",
                                          "created_at"};

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

// The uniqueness key of a login: its case folding, the one comparison of names the programs share.
std::string loginKey(std::string_view login)
{
    return platform::unicode::caseFolded(login);
}

// The key of an account whose login, folded, an earlier account of a release 1.0.0 store holds
// already. It ends in a control byte, which no login does (logins are trimmed of them), so no
// sign-up or lookup ever meets it, and it is unique by the id.
std::string shadowedKey(const std::string& folded, int64_t id)
{
    return folded + '\x01' + std::to_string(id) + '\x01';
}

const char* kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    return "a device";
}

// SQLite would create the file with the process umask; the database holds e-mail addresses and
// password hashes, so a new file is created for the owner only. An existing file must be a
// regular file open for writing (opening a FIFO would wait for a writer for ever); the message
// says which of these failed.
bool createPrivateFile(const std::string& path, std::string& error)
{
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        error = path + " is " + kindOf(st.st_mode) + ", not a regular file";
        return false;
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) {
        fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            error = "cannot open " + path + " for writing: " + std::strerror(errno);
            return false;
        }
    }
    if (fd < 0) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode); // swapped since the stat
    ::close(fd);
    if (!regular) {
        error = path + " is " + kindOf(st.st_mode) + ", not a regular file";
        return false;
    }
    // Every write makes a journal beside the file: without room for it each sign-up would fail.
    const auto slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, std::max<size_t>(slash, 1));
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        error = "cannot write in " + folder + ", where " + path + " keeps its journal: " + std::strerror(errno);
        return false;
    }
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

// Every row's first column as text; false when the query failed.
bool firstColumns(sqlite3* db, const char* sql, std::vector<std::string>& values, int column = 0)
{
    const Statement statement = prepare(db, sql);
    if (!statement)
        return false;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW)
        values.push_back(columnText(statement.get(), column));
    return rc == SQLITE_DONE;
}

std::string joined(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

// Rolls back unless committed.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : m_db(db) { m_rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr); }
    ~Transaction()
    {
        if (m_rc == SQLITE_OK && !m_committed)
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    [[nodiscard]] int begun() const { return m_rc; }
    [[nodiscard]] int commit()
    {
        const int rc = sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
        m_committed = rc == SQLITE_OK;
        return rc;
    }

private:
    sqlite3* m_db;
    int m_rc;
    bool m_committed = false;
};

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
    m_notice.clear();
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
    if (!adopt(path)) {
        m_db.reset();
        return false;
    }
    return true;
}

// Decides, in one write transaction (so two services starting on one new file don't both lay it
// out), whether the file is an account store, lays out an empty one and upgrades one of release
// 1.0.0.
bool AccountStore::adopt(const std::string& path)
{
    sqlite3* db = m_db.get();
    const auto failed = [&](int rc) {
        const std::string cause = sqlite3_errmsg(db);
        if ((rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED)
            m_error = "cannot open " + path + ": " + cause + " (another program holds it; try again when it is done)";
        else if ((rc & 0xFF) == SQLITE_NOTADB)
            m_error = path + " is not an account database: " + cause;
        else
            m_error = "cannot read " + path + ": " + cause;
        return false;
    };
    Transaction transaction(db);
    if (transaction.begun() != SQLITE_OK)
        return failed(transaction.begun());
    std::vector<std::string> tables;
    if (!firstColumns(db, "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' "
                          "ESCAPE '\\' ORDER BY name",
                      tables))
        return failed(sqlite3_errcode(db));
    std::vector<std::string> layout;
    if (!firstColumns(db, "PRAGMA application_id", layout) || !firstColumns(db, "PRAGMA user_version", layout))
        return failed(sqlite3_errcode(db));
    const std::string applicationId = layout[0];
    const std::string version = layout[1];

    if (tables.empty()) {
        if (applicationId != "0" && applicationId != std::to_string(ApplicationId)) {
            m_error = path + " is a database of another program (application id " + applicationId
                + "): not an account database";
            return false;
        }
        if (sqlite3_exec(db, Schema, nullptr, nullptr, nullptr) != SQLITE_OK)
            return failed(sqlite3_errcode(db));
    } else if (tables != std::vector<std::string>{"accounts"}) {
        m_error = path + " holds other tables (" + joined(tables) + "): not an account database";
        return false;
    } else {
        std::vector<std::string> columns;
        if (!firstColumns(db, "PRAGMA table_info(accounts)", columns, 1))
            return failed(sqlite3_errcode(db));
        if (columns != Columns) {
            m_error = path + " has an accounts table of another layout (" + joined(columns)
                + "): not an account database";
            return false;
        }
        if (applicationId == "0" && version == "0") {
            if (!upgradeFromFirstRelease())
                return failed(sqlite3_errcode(db));
            m_notice = "upgraded " + path + " from release 1.0.0: logins now compare whatever their letter case, "
                "for every letter" + m_notice;
        } else if (applicationId != std::to_string(ApplicationId) || version != std::to_string(Layout)) {
            m_error = path + " is an account database of another version (application id " + applicationId
                + ", layout " + version + ")";
            return false;
        }
    }
    const int committed = transaction.commit();
    return committed == SQLITE_OK || failed(committed);
}

// Each account gets the key of its login's case folding, in the order they were created; an
// account whose key an earlier one took gets a key of its own that no login reaches (release
// 1.0.0 kept "Ünï" and "ünï" apart). Nothing is lost: both keep their ids, passwords and logins,
// and the name finds the first.
bool AccountStore::upgradeFromFirstRelease()
{
    sqlite3* db = m_db.get();
    // Out of the way first, so that no key is ever held twice while they change.
    if (sqlite3_exec(db, "UPDATE accounts SET login_key = char(1) || id", nullptr, nullptr, nullptr) != SQLITE_OK)
        return false;
    std::vector<std::pair<int64_t, std::string>> accounts;
    {
        const Statement select = prepare(db, "SELECT id, login FROM accounts ORDER BY id");
        if (!select)
            return false;
        int rc = SQLITE_ROW;
        while ((rc = sqlite3_step(select.get())) == SQLITE_ROW)
            accounts.emplace_back(sqlite3_column_int64(select.get(), 0), columnText(select.get(), 1));
        if (rc != SQLITE_DONE)
            return false;
    }
    std::set<std::string> taken;
    std::vector<std::string> shadowed; // ids
    const Statement update = prepare(db, "UPDATE accounts SET login_key = ?1 WHERE id = ?2");
    if (!update)
        return false;
    for (const auto& [id, login] : accounts) {
        std::string key = loginKey(login);
        if (!taken.insert(key).second) {
            key = shadowedKey(key, id);
            shadowed.push_back(std::to_string(id));
        }
        sqlite3_reset(update.get());
        if (!bindText(update.get(), 1, key) || sqlite3_bind_int64(update.get(), 2, id) != SQLITE_OK
            || sqlite3_step(update.get()) != SQLITE_DONE)
            return false;
    }
    if (sqlite3_exec(db, "PRAGMA application_id = 1146246721; PRAGMA user_version = 2", nullptr, nullptr, nullptr)
        != SQLITE_OK)
        return false;
    if (shadowed.size() == 1)
        m_notice = "; account " + shadowed[0] + " has a login that now matches an earlier account's: it keeps its id, "
            "and its login finds the earlier account";
    else if (shadowed.size() > 1)
        m_notice = "; accounts " + joined(shadowed) + " have logins that now match earlier accounts': they keep "
            "their ids, and their logins find the earlier accounts";
    return true;
}

std::string AccountStore::errorText() const
{
    std::lock_guard lock(m_mutex);
    return m_error;
}

std::string AccountStore::notice() const
{
    std::lock_guard lock(m_mutex);
    return m_notice;
}

AccountStore::Created AccountStore::createAccount(std::string_view login, std::string_view passwordHash,
                                                  std::string_view email)
{
    std::lock_guard lock(m_mutex);
    if (!m_db)
        return {CreateResult::StorageFailed, 0, "the account database is not open"};
    const auto failure = [this] { return Created {CreateResult::StorageFailed, 0, sqlite3_errmsg(m_db.get())}; };
    Statement insert = prepare(m_db.get(),
        "INSERT INTO accounts (login, login_key, password_hash, email) VALUES (?1, ?2, ?3, ?4)");
    if (!insert)
        return failure();
    const std::string key = loginKey(login);
    if (!bindText(insert.get(), 1, login) || !bindText(insert.get(), 2, key)
        || !bindText(insert.get(), 3, passwordHash) || !bindText(insert.get(), 4, email))
        return failure();

    // The UNIQUE constraint decides a taken login, so two requests racing for one name can't both win.
    const int rc = sqlite3_step(insert.get());
    if (rc == SQLITE_DONE)
        return {CreateResult::Created, sqlite3_last_insert_rowid(m_db.get()), {}};
    if (sqlite3_extended_errcode(m_db.get()) == SQLITE_CONSTRAINT_UNIQUE)
        return {CreateResult::LoginTaken, 0, {}};
    return failure();
}

AccountStore::Completed AccountStore::completeAccount(int64_t id)
{
    std::lock_guard lock(m_mutex);
    if (!m_db)
        return {CompleteResult::StorageFailed, "the account database is not open"};
    const auto failure = [this] { return Completed {CompleteResult::StorageFailed, sqlite3_errmsg(m_db.get())}; };
    Statement update = prepare(m_db.get(), "UPDATE accounts SET complete = 1 WHERE id = ?1");
    if (!update || sqlite3_bind_int64(update.get(), 1, id) != SQLITE_OK)
        return failure();
    if (sqlite3_step(update.get()) != SQLITE_DONE)
        return failure();
    return {sqlite3_changes(m_db.get()) > 0 ? CompleteResult::Completed : CompleteResult::UnknownId, {}};
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
