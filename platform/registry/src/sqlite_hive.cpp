#include "sqlite_hive.h"

#include "fault_injection.h"
#include "unicode_text.h"
#include "winerror.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Marks a database as a settings hive; any other file is refused rather than adopted.
constexpr int kApplicationId = 0x44525648;
// The layouts a hive's user_version names: the first compared names by SQLite's NOCASE (ASCII
// letters only) and is upgraded in place when it is opened.
constexpr int kFirstLayout = 1;
constexpr int kSchemaVersion = 2;
// A writer waits this long for another process to finish its transaction.
constexpr int kBusyTimeoutMs = 15000;

// Names are looked up by their case-folded form (`folded`, platform::unicode::caseFolded), which
// SQLite can't compute itself; `name` keeps the spelling first written, and orders the subkeys as
// it always has (NOCASE). A folded name is not unique: a hive of the first layout may hold names
// that only now compare equal, and all of them are kept; a lookup finds the one written first
// (the lowest id), and the next once that one is deleted. Writers hold the write lock from their
// first read (BEGIN IMMEDIATE), so they never add a second name that folds alike.
constexpr const char* kTables = R"sql(
    CREATE TABLE keys (
        id INTEGER PRIMARY KEY AUTOINCREMENT,
        parent INTEGER REFERENCES keys(id),
        name TEXT NOT NULL COLLATE NOCASE,
        folded TEXT NOT NULL
    );
    CREATE INDEX keys_by_name ON keys (parent, folded);
    CREATE TABLE key_values (
        id INTEGER PRIMARY KEY,
        key INTEGER NOT NULL REFERENCES keys(id),
        name TEXT NOT NULL,
        folded TEXT NOT NULL,
        type INTEGER NOT NULL,
        data BLOB NOT NULL
    );
    CREATE INDEX values_by_name ON key_values (key, folded);
)sql";
constexpr const char* kNewHive[] = {
    "PRAGMA application_id = 1146246728",
    "PRAGMA user_version = 2",
    kTables,
    "INSERT INTO keys (id, parent, name, folded) VALUES (1, NULL, '', '')",
};
static_assert(kApplicationId == 1146246728 && kSchemaVersion == 2, "the schema text spells these in decimal");

// The first layout's tables are renamed, the new ones made and filled, the old ones dropped; the
// keys' id sequence carries on where it was, so an id is still never given out twice. Values get
// their old rowids as ids, which keeps the order they were first written in.
constexpr const char* kUpgradeFromFirstLayout[] = {
    "ALTER TABLE keys RENAME TO keys_first_layout",
    "ALTER TABLE key_values RENAME TO key_values_first_layout",
    kTables,
    "INSERT INTO keys (id, parent, name, folded) SELECT id, parent, name, case_folded(name) FROM keys_first_layout",
    "INSERT INTO key_values (id, key, name, folded, type, data) "
    "SELECT rowid, key, name, case_folded(name), type, data FROM key_values_first_layout",
    "UPDATE sqlite_sequence SET seq = max(seq, coalesce((SELECT seq FROM sqlite_sequence "
    "WHERE name = 'keys_first_layout'), 0)) WHERE name = 'keys'",
    "DROP TABLE key_values_first_layout",
    "DROP TABLE keys_first_layout",
    "PRAGMA user_version = 2",
};

// A creator that finds its new file already unlinked (a cleaner judged it dead in the moment
// before the creator locked it) starts again with a new name, this many times at most.
constexpr int kCreateAttempts = 5;
// The temporary name of a hive being created: the hive's name, this, and mkstemp's six characters.
constexpr std::string_view kNewSuffix = ".new-";
constexpr std::string_view kJournalSuffix = "-journal";

thread_local std::string lastFailureText;

void noteFailure(std::string text)
{
    lastFailureText = std::move(text);
}

std::string errnoText(int error)
{
    return std::strerror(error);
}

// What SQLite says about a failure with code rc: the connection's own message when it is about
// that failure, else the code's general text. A connection's message is that of its latest call,
// which may have succeeded since (a statement finalised after the one that failed) or may not
// have failed at all (an injected failure); it must never read "not an error".
std::string sqliteText(sqlite3* db, int rc)
{
    if (db != nullptr && (sqlite3_errcode(db) & 0xFF) == (rc & 0xFF))
        return sqlite3_errmsg(db);
    return sqlite3_errstr(rc);
}

// One SQL text of the hive's own (no parameters), as a statement step that tests can make fail.
int execute(sqlite3* db, const char* sql)
{
    if (platform::fault::Injected(platform::fault::Kind::SqliteStep))
        return SQLITE_IOERR;
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

// case_folded(name) in SQL, for the upgrade that fills the folded names of a first-layout hive.
void caseFoldedFunction(sqlite3_context* context, int /*count*/, sqlite3_value** arguments)
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(arguments[0]));
    const std::string folded = platform::unicode::caseFolded(
        text != nullptr ? std::string_view(text, static_cast<size_t>(sqlite3_value_bytes(arguments[0])))
                        : std::string_view());
    sqlite3_result_text(context, folded.data(), static_cast<int>(folded.size()), SQLITE_TRANSIENT);
}

// fallback is the code for failures that say nothing more specific (I/O errors and the like).
LONG toError(int sqliteCode, DWORD fallback)
{
    switch (sqliteCode & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
        return ERROR_SUCCESS;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
        return ERROR_BADDB;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return ERROR_ACCESS_DENIED;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return ERROR_BUSY;
    case SQLITE_NOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_CANTOPEN:
        return ERROR_CANTOPEN;
    case SQLITE_TOOBIG:
        return ERROR_INVALID_PARAMETER;
    case SQLITE_FULL:
        return ERROR_DISK_FULL;
    default:
        return static_cast<LONG>(fallback);
    }
}

// A check that did not give the expected answer: a failure keeps its own code, anything else
// means the file is not a hive.
LONG notAHive(int sqliteCode)
{
    const LONG rc = toError(sqliteCode, ERROR_BADDB);
    return rc == ERROR_SUCCESS ? static_cast<LONG>(ERROR_BADDB) : rc;
}

LONG errnoToError(int error, DWORD fallback)
{
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    default:
        return static_cast<LONG>(fallback);
    }
}

// The code of a failed system call on `path`, noting "<what> <path>: <reason>.".
LONG failedOn(const std::string& what, const std::string& path, int error, DWORD fallback)
{
    noteFailure("Cannot " + what + " " + path + ": " + errnoText(error) + ".");
    return errnoToError(error, fallback);
}

std::string folderOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The first folder of path that is a file instead (what ENOTDIR was about).
std::string fileOnTheWayTo(const std::string& path)
{
    for (auto slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        struct stat st {};
        if (stat(part.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
            return part;
    }
    return folderOf(path);
}

// Permission to write, judged by the mode bits as well as by access(): a process that bypasses
// permissions (root) would otherwise write into a hive its owner has write-protected.
bool mayWrite(const std::string& path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return false;
    if (st.st_uid == geteuid() && (st.st_mode & S_IWUSR) == 0)
        return false;
    return access(path.c_str(), W_OK) == 0;
}

// Creates each missing folder of path with mode 0700 (the hive's folder and, when missing,
// the config folder above it).
LONG makeFolders(const std::string& path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return ERROR_SUCCESS;
        noteFailure(path + " is a file, where the settings hive needs a folder.");
        return ERROR_PATH_NOT_FOUND;
    }
    // ENOTDIR: a part further up is a file; the walk up finds and names it.
    if (errno != ENOENT && errno != ENOTDIR)
        return failedOn("reach the folder", path, errno, ERROR_CANTWRITE);
    const std::string parent = folderOf(path);
    if (parent != path) {
        const LONG rc = makeFolders(parent);
        if (rc != ERROR_SUCCESS)
            return rc;
    }
    if (!mayWrite(parent)) {
        noteFailure("No permission to create the folder " + path + ".");
        return ERROR_ACCESS_DENIED;
    }
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return failedOn("create the folder", path, errno, ERROR_CANTWRITE);
    return ERROR_SUCCESS;
}

void syncFolder(const std::string& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    fsync(fd); // best effort: the hive itself is already complete on disk
    close(fd);
}

// Puts the finished file at path unless a file is already there (another process created the
// hive first, and its file wins). Never replaces an existing file.
LONG publish(const std::string& temporary, const std::string& path)
{
    if (link(temporary.c_str(), path.c_str()) == 0 || errno == EEXIST)
        return ERROR_SUCCESS;
    // File systems without hard links: an exclusive rename gives the same promise.
    if (renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0
        || errno == EEXIST)
        return ERROR_SUCCESS;
    return failedOn("put the new settings hive in place as", path, errno, ERROR_CANTWRITE);
}

// "registry.db.new-" followed by mkstemp's six characters, and optionally "-journal": the names a
// creator uses, and the only names the cleaning touches.
bool isCreatorsFile(std::string_view name, std::string_view hiveName, bool& journal)
{
    std::string prefix = std::string(hiveName) + std::string(kNewSuffix);
    if (!name.starts_with(prefix))
        return false;
    name.remove_prefix(prefix.size());
    journal = name.ends_with(kJournalSuffix);
    if (journal)
        name.remove_suffix(kJournalSuffix.size());
    if (name.size() != 6)
        return false;
    for (const char c : name) {
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

// A new hive file whose creator still runs is locked by it; a lock taken here means the creator
// died (the kernel dropped its lock), and the file and its journal go while the lock is held.
void removeIfCreatorDead(const std::string& newHive)
{
    const int fd = ::open(newHive.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) // a journal whose hive file is gone already
            unlink((newHive + std::string(kJournalSuffix)).c_str());
        return;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        unlink(newHive.c_str());
        unlink((newHive + std::string(kJournalSuffix)).c_str());
    }
    close(fd);
}

} // namespace

// -- statements and transactions ------------------------------------------------------------

class SqliteHive::Statement {
public:
    Statement(sqlite3* db, const char* sql) { m_rc = sqlite3_prepare_v2(db, sql, -1, &m_statement, nullptr); }
    ~Statement() { sqlite3_finalize(m_statement); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, std::int64_t value)
    {
        keep(sqlite3_bind_int64(m_statement, index, value));
        return *this;
    }
    Statement& bind(int index, const std::string& text)
    {
        keep(sqlite3_bind_text(m_statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
        return *this;
    }
    Statement& bindBlob(int index, const BYTE* data, DWORD size)
    {
        // A null pointer would bind SQL NULL; an empty value is a zero-length blob.
        static const BYTE empty = 0;
        keep(sqlite3_bind_blob(m_statement, index, data != nullptr ? data : &empty, static_cast<int>(size),
                               SQLITE_TRANSIENT));
        return *this;
    }

    // SQLITE_ROW, SQLITE_DONE or an error code.
    [[nodiscard]] int step()
    {
        if (m_rc != SQLITE_OK)
            return m_rc;
        if (platform::fault::Injected(platform::fault::Kind::SqliteStep))
            return SQLITE_IOERR;
        return sqlite3_step(m_statement);
    }

    [[nodiscard]] std::int64_t integer(int column) const { return sqlite3_column_int64(m_statement, column); }
    [[nodiscard]] std::string text(int column) const
    {
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(m_statement, column));
        return bytes != nullptr ? std::string(bytes, static_cast<size_t>(sqlite3_column_bytes(m_statement, column)))
                                : std::string();
    }
    [[nodiscard]] std::vector<BYTE> blob(int column) const
    {
        const auto* bytes = static_cast<const BYTE*>(sqlite3_column_blob(m_statement, column));
        const int size = sqlite3_column_bytes(m_statement, column);
        return bytes != nullptr ? std::vector<BYTE>(bytes, bytes + size) : std::vector<BYTE>();
    }

private:
    void keep(int rc)
    {
        if (m_rc == SQLITE_OK)
            m_rc = rc;
    }

    sqlite3_stmt* m_statement = nullptr;
    int m_rc = SQLITE_OK; // the first failure, reported by step()
};

// A transaction that rolls back unless committed. Writers take the write lock at the start
// (BEGIN IMMEDIATE), so two writers queue on the busy timeout instead of failing part-way.
class SqliteHive::Transaction {
public:
    enum class Kind { Read, Write };

    Transaction(sqlite3* db, Kind kind) : m_db(db)
    {
        m_rc = platform::fault::Injected(platform::fault::Kind::SqliteStep)
                   ? SQLITE_IOERR
                   : sqlite3_exec(db, kind == Kind::Write ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr, nullptr);
    }
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
        const int rc = platform::fault::Injected(platform::fault::Kind::SqliteStep)
                           ? SQLITE_IOERR
                           : sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
        m_committed = rc == SQLITE_OK;
        return rc;
    }

private:
    sqlite3* m_db;
    int m_rc;
    bool m_committed = false;
};

// -- opening ----------------------------------------------------------------------------------

void SqliteHive::DatabaseCloser::operator()(sqlite3* db) const noexcept
{
    sqlite3_close_v2(db);
}

SqliteHive::SqliteHive(std::string path, Database db, bool writable)
    : m_path(std::move(path)), m_db(std::move(db)), m_writable(writable)
{
}

SqliteHive::~SqliteHive() = default;

const std::string& SqliteHive::lastFailure()
{
    return lastFailureText;
}

void SqliteHive::clearFailure()
{
    lastFailureText.clear();
}

LONG SqliteHive::open(const std::string& path, Intent intent, std::shared_ptr<SqliteHive>& hive)
{
    removeDeadCreatorsLeftovers(path);
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR)
            return failedOn("reach the settings hive", path, errno, ERROR_CANTOPEN);
        struct stat link {};
        if (errno == ENOENT && lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
            // Writing through it would create a file somewhere else; reading it as empty would hide
            // a hive the user meant to keep there.
            std::vector<char> target(4096, '\0');
            const ssize_t length = readlink(path.c_str(), target.data(), target.size() - 1);
            noteFailure("The settings hive " + path + " is a link to "
                        + (length > 0 ? std::string(target.data(), static_cast<size_t>(length)) : std::string("?"))
                        + ", which does not exist.");
            return ERROR_PATH_NOT_FOUND;
        }
        if (errno == ENOTDIR && intent != Intent::Create) {
            // Not an absent hive: something stands where its folder belongs, and a write would
            // fail on it; a read says so too rather than "not found".
            noteFailure(fileOnTheWayTo(path) + " is a file, where the settings hive needs a folder.");
            return ERROR_PATH_NOT_FOUND;
        }
        if (intent != Intent::Create) {
            hive.reset(new SqliteHive(path, nullptr, false));
            return ERROR_SUCCESS;
        }
        const LONG rc = create(path);
        if (rc != ERROR_SUCCESS)
            return rc;
    } else if (!S_ISREG(st.st_mode)) {
        noteFailure("The settings hive " + path + " is not a file.");
        return ERROR_BADDB;
    } else if (access(path.c_str(), R_OK) != 0) {
        return failedOn("read the settings hive", path, errno, ERROR_CANTOPEN);
    }

    // The journal lives beside the hive, so writing needs the folder too.
    const bool writable = mayWrite(path) && mayWrite(folderOf(path));
    Database db;
    LONG rc = openExisting(path, writable, db);
    if (rc != ERROR_SUCCESS)
        return rc;
    int layout = 0;
    int sqliteRc = SQLITE_OK;
    rc = checkIsHive(db.get(), layout, sqliteRc);
    // A writer checks every page first, so that it never adds to a damaged file; so does an
    // upgrade.
    if (rc == ERROR_SUCCESS && writable && (intent != Intent::Read || layout == kFirstLayout))
        rc = checkPages(db.get(), sqliteRc);
    const char* action = "read";
    if (rc == ERROR_SUCCESS && layout == kFirstLayout) {
        action = "upgrade";
        rc = writable ? upgrade(db.get(), sqliteRc) : upgradedCopy(db, sqliteRc);
    }
    if (rc != ERROR_SUCCESS) {
        noteOpenFailure(path, action, rc, db.get(), sqliteRc);
        return rc;
    }
    hive.reset(new SqliteHive(path, std::move(db), writable));
    return ERROR_SUCCESS;
}

void SqliteHive::noteOpenFailure(const std::string& path, const char* action, LONG rc, sqlite3* db, int sqliteRc)
{
    if (rc == ERROR_BADDB)
        noteFailure("The settings hive " + path + " is damaged or is not a settings hive; it was left as it is.");
    else if (rc == ERROR_BUSY)
        noteFailure("Another program held the settings hive " + path + " too long; try again when it is done.");
    else
        noteFailure("Cannot " + std::string(action) + " the settings hive " + path + ": " + sqliteText(db, sqliteRc)
                    + ".");
}

// Builds the hive under a temporary name and then links it into place, so that no process
// ever sees a half-made hive, and an existing file is never replaced. The temporary file is locked
// (flock) while it is built, which tells a live creator from a dead one: the leftovers of a
// creator that was killed are removed at the next open (removeDeadCreatorsLeftovers).
LONG SqliteHive::create(const std::string& path)
{
    const std::string folder = folderOf(path);
    LONG rc = makeFolders(folder);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (!mayWrite(folder)) {
        noteFailure("No permission to create the settings hive in " + folder + ".");
        return ERROR_ACCESS_DENIED;
    }

    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        std::string temporary = path + std::string(kNewSuffix) + "XXXXXX";
        const int fd = mkstemp(temporary.data()); // mode 0600
        if (fd < 0)
            return failedOn("create a file in", folder, errno, ERROR_CANTWRITE);
        struct stat st {};
        if (flock(fd, LOCK_EX) != 0 || fstat(fd, &st) != 0 || st.st_nlink == 0) {
            close(fd); // a cleaner took it for a dead creator's in the moment before the lock
            continue;
        }
        fchmod(fd, 0600);
        rc = buildNew(temporary);
        if (rc == ERROR_SUCCESS)
            rc = publish(temporary, path);
        unlink(temporary.c_str());
        close(fd);
        if (rc == ERROR_SUCCESS)
            syncFolder(folder);
        return rc;
    }
    noteFailure("Cannot create the settings hive " + path + ": its new file kept vanishing.");
    return ERROR_CANTWRITE;
}

LONG SqliteHive::buildNew(const std::string& temporary)
{
    sqlite3* raw = nullptr;
    const int openRc = sqlite3_open_v2(temporary.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    Database db(raw);
    int rc = openRc;
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db.get(), "BEGIN", nullptr, nullptr, nullptr);
    for (const char* sql : kNewHive) {
        if (rc == SQLITE_OK)
            rc = sqlite3_exec(db.get(), sql, nullptr, nullptr, nullptr);
    }
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        return ERROR_SUCCESS;
    noteFailure("Cannot write the new settings hive " + temporary + ": " + sqliteText(db.get(), rc) + ".");
    return toError(rc, ERROR_CANTWRITE);
}

void SqliteHive::removeDeadCreatorsLeftovers(const std::string& path)
{
    const std::string folder = folderOf(path);
    const std::string hiveName = path.substr(path.find_last_of('/') + 1);
    if (!mayWrite(folder))
        return;
    DIR* directory = opendir(folder.c_str());
    if (directory == nullptr)
        return;
    std::vector<std::string> newHives;
    while (const dirent* entry = readdir(directory)) {
        bool journal = false;
        if (isCreatorsFile(entry->d_name, hiveName, journal)) {
            std::string name = entry->d_name;
            if (journal)
                name.resize(name.size() - kJournalSuffix.size());
            newHives.push_back(folder + "/" + name);
        }
    }
    closedir(directory);
    for (const std::string& newHive : newHives)
        removeIfCreatorDead(newHive);
}

LONG SqliteHive::openExisting(const std::string& path, bool writable, Database& db)
{
    sqlite3* raw = nullptr;
    // Never SQLITE_OPEN_CREATE: a hive that vanished must not come back empty.
    const int flags = writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    db.reset(raw);
    if (rc != SQLITE_OK) {
        noteFailure("Cannot open the settings hive " + path + ": " + sqliteText(raw, rc) + ".");
        return toError(rc, ERROR_CANTOPEN);
    }
    sqlite3_busy_timeout(raw, kBusyTimeoutMs);
    return ERROR_SUCCESS;
}

LONG SqliteHive::checkIsHive(sqlite3* db, int& layout, int& sqliteRc)
{
    // A check that fails keeps its code; one that gives another answer means "not a hive".
    const auto expect = [&sqliteRc](Statement& statement, int wanted) {
        sqliteRc = statement.step();
        return sqliteRc == wanted ? ERROR_SUCCESS : notAHive(sqliteRc);
    };
    Statement application(db, "PRAGMA application_id");
    LONG rc = expect(application, SQLITE_ROW);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (application.integer(0) != kApplicationId)
        return ERROR_BADDB;

    Statement version(db, "PRAGMA user_version");
    rc = expect(version, SQLITE_ROW);
    if (rc != ERROR_SUCCESS)
        return rc;
    layout = static_cast<int>(version.integer(0));
    if (layout != kSchemaVersion && layout != kFirstLayout)
        return ERROR_BADDB;

    const bool first = layout == kFirstLayout;
    Statement root(db, first ? "SELECT 1 FROM keys WHERE id = 1 AND parent IS NULL"
                             : "SELECT name, folded FROM keys WHERE id = 1 AND parent IS NULL");
    rc = expect(root, SQLITE_ROW);
    if (rc != ERROR_SUCCESS)
        return rc;
    Statement values(db, first ? "SELECT key, name, type, data FROM key_values LIMIT 0"
                               : "SELECT id, key, name, folded, type, data FROM key_values LIMIT 0");
    return expect(values, SQLITE_DONE);
}

LONG SqliteHive::checkPages(sqlite3* db, int& sqliteRc)
{
    Statement check(db, "PRAGMA quick_check");
    sqliteRc = check.step();
    if (sqliteRc != SQLITE_ROW || check.text(0) != "ok")
        return notAHive(sqliteRc);
    return ERROR_SUCCESS;
}

// All or nothing: one transaction, which another process's upgrade of the same file waits for
// (and then finds nothing left to do).
LONG SqliteHive::upgrade(sqlite3* db, int& sqliteRc)
{
    sqliteRc = sqlite3_create_function_v2(db, "case_folded", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                          caseFoldedFunction, nullptr, nullptr, nullptr);
    if (sqliteRc != SQLITE_OK)
        return toError(sqliteRc, ERROR_CANTWRITE);
    Transaction transaction(db, Transaction::Kind::Write);
    sqliteRc = transaction.begun();
    if (sqliteRc != SQLITE_OK)
        return toError(sqliteRc, ERROR_CANTWRITE);
    std::int64_t layout = 0;
    {
        Statement version(db, "PRAGMA user_version"); // finished before the tables change
        sqliteRc = version.step();
        if (sqliteRc != SQLITE_ROW)
            return toError(sqliteRc, ERROR_CANTREAD);
        layout = version.integer(0);
    }
    if (layout == kSchemaVersion)
        return ERROR_SUCCESS; // another process upgraded it first
    for (const char* sql : kUpgradeFromFirstLayout) {
        sqliteRc = execute(db, sql);
        if (sqliteRc != SQLITE_OK)
            return toError(sqliteRc, ERROR_CANTWRITE);
    }
    sqliteRc = transaction.commit();
    return toError(sqliteRc, ERROR_CANTWRITE);
}

// A write-protected hive of the first layout stays as it is; it is read through a copy in memory,
// upgraded there, made again at each open of the root.
LONG SqliteHive::upgradedCopy(Database& db, int& sqliteRc)
{
    sqlite3* raw = nullptr;
    sqliteRc = sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    Database copy(raw);
    if (sqliteRc != SQLITE_OK)
        return toError(sqliteRc, ERROR_NOT_ENOUGH_MEMORY);
    sqlite3_backup* backup = sqlite3_backup_init(copy.get(), "main", db.get(), "main");
    if (backup == nullptr) {
        sqliteRc = sqlite3_errcode(copy.get());
        return toError(sqliteRc, ERROR_CANTREAD);
    }
    const int stepRc = sqlite3_backup_step(backup, -1);
    sqliteRc = sqlite3_backup_finish(backup);
    if (stepRc != SQLITE_DONE)
        sqliteRc = stepRc;
    if (sqliteRc != SQLITE_OK && sqliteRc != SQLITE_DONE)
        return toError(sqliteRc, ERROR_CANTREAD);
    const LONG rc = upgrade(copy.get(), sqliteRc);
    if (rc == ERROR_SUCCESS)
        db = std::move(copy);
    return rc;
}

// -- keys -------------------------------------------------------------------------------------

LONG SqliteHive::failed(int sqliteCode, DWORD fallback) const
{
    const LONG rc = toError(sqliteCode, fallback);
    if (rc == ERROR_BUSY)
        noteFailure("Another program held the settings hive " + m_path + " too long; try again when it is done.");
    else if (rc != ERROR_SUCCESS)
        noteFailure("Cannot " + std::string(fallback == ERROR_CANTREAD ? "read" : "write") + " the settings hive "
                    + m_path + ": " + sqliteText(m_db.get(), sqliteCode) + ".");
    return rc;
}

LONG SqliteHive::requireWritable() const
{
    if (m_writable && m_db)
        return ERROR_SUCCESS;
    if (m_db)
        noteFailure("The settings hive " + m_path + " is write-protected: its file or folder lacks write permission.");
    return ERROR_ACCESS_DENIED;
}

// A transaction just begun, on a key that must still exist: the first step of most calls.
LONG SqliteHive::beginOn(Transaction& transaction, KeyId key, DWORD failure)
{
    if (transaction.begun() != SQLITE_OK)
        return failed(transaction.begun(), failure);
    return requireKey(key);
}

LONG SqliteHive::requireKey(KeyId key)
{
    Statement exists(m_db.get(), "SELECT 1 FROM keys WHERE id = ?");
    const int rc = exists.bind(1, key).step();
    if (rc == SQLITE_DONE)
        return ERROR_KEY_DELETED;
    return failed(rc, ERROR_CANTREAD);
}

LONG SqliteHive::childOf(KeyId parent, const std::string& name, KeyId& child)
{
    Statement find(m_db.get(), "SELECT id FROM keys WHERE parent = ? AND folded = ? ORDER BY id LIMIT 1");
    const int rc = find.bind(1, parent).bind(2, platform::unicode::caseFolded(name)).step();
    if (rc == SQLITE_DONE)
        return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW)
        return failed(rc, ERROR_CANTREAD);
    child = find.integer(0);
    return ERROR_SUCCESS;
}

LONG SqliteHive::walk(KeyId from, const std::vector<std::string>& path, KeyId& key)
{
    LONG rc = requireKey(from);
    KeyId current = from;
    for (size_t i = 0; rc == ERROR_SUCCESS && i < path.size(); ++i)
        rc = childOf(current, path[i], current);
    if (rc == ERROR_SUCCESS)
        key = current;
    return rc;
}

LONG SqliteHive::findKey(KeyId from, const std::vector<std::string>& path, KeyId& key)
{
    std::lock_guard lock(m_mutex);
    if (!m_db) {
        if (from != kRootKey)
            return ERROR_KEY_DELETED;
        if (!path.empty())
            return ERROR_FILE_NOT_FOUND;
        key = kRootKey;
        return ERROR_SUCCESS;
    }
    Transaction transaction(m_db.get(), Transaction::Kind::Read);
    if (transaction.begun() != SQLITE_OK)
        return failed(transaction.begun(), ERROR_CANTREAD);
    return walk(from, path, key);
}

LONG SqliteHive::createKey(KeyId from, const std::vector<std::string>& path, KeyId& key, bool& created)
{
    std::lock_guard lock(m_mutex);
    created = false;
    LONG rc = requireWritable();
    if (rc != ERROR_SUCCESS)
        return rc;
    Transaction transaction(m_db.get(), Transaction::Kind::Write);
    if (transaction.begun() != SQLITE_OK)
        return failed(transaction.begun(), ERROR_CANTWRITE);
    rc = requireKey(from);
    KeyId current = from;
    bool madeAny = false;
    for (size_t i = 0; rc == ERROR_SUCCESS && i < path.size(); ++i) {
        rc = childOf(current, path[i], current);
        if (rc != ERROR_FILE_NOT_FOUND)
            continue;
        Statement insert(m_db.get(), "INSERT INTO keys (parent, name, folded) VALUES (?, ?, ?)");
        rc = failed(insert.bind(1, current).bind(2, path[i]).bind(3, platform::unicode::caseFolded(path[i])).step(),
                    ERROR_CANTWRITE);
        current = sqlite3_last_insert_rowid(m_db.get());
        madeAny = true;
    }
    if (rc == ERROR_SUCCESS && madeAny)
        rc = failed(transaction.commit(), ERROR_CANTWRITE);
    if (rc != ERROR_SUCCESS)
        return rc;
    key = current;
    created = madeAny;
    return ERROR_SUCCESS;
}

LONG SqliteHive::checkKey(KeyId key)
{
    std::lock_guard lock(m_mutex);
    if (!m_db)
        return key == kRootKey ? ERROR_SUCCESS : ERROR_KEY_DELETED;
    return requireKey(key);
}

LONG SqliteHive::deleteKey(KeyId from, const std::vector<std::string>& path)
{
    std::lock_guard lock(m_mutex);
    if (!m_db)
        return ERROR_FILE_NOT_FOUND; // nothing stored yet, so nothing to delete
    LONG rc = requireWritable();
    if (rc != ERROR_SUCCESS)
        return rc;
    Transaction transaction(m_db.get(), Transaction::Kind::Write);
    if (transaction.begun() != SQLITE_OK)
        return failed(transaction.begun(), ERROR_CANTWRITE);
    KeyId key = 0;
    rc = walk(from, path, key);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (key == kRootKey)
        return ERROR_ACCESS_DENIED;

    Statement children(m_db.get(), "SELECT 1 FROM keys WHERE parent = ? LIMIT 1");
    const int childRc = children.bind(1, key).step();
    if (childRc == SQLITE_ROW)
        return ERROR_ACCESS_DENIED; // a key with subkeys is deleted leaf by leaf
    if (childRc != SQLITE_DONE)
        return failed(childRc, ERROR_CANTREAD);

    Statement values(m_db.get(), "DELETE FROM key_values WHERE key = ?");
    rc = failed(values.bind(1, key).step(), ERROR_CANTWRITE);
    if (rc != ERROR_SUCCESS)
        return rc;
    Statement remove(m_db.get(), "DELETE FROM keys WHERE id = ?");
    rc = failed(remove.bind(1, key).step(), ERROR_CANTWRITE);
    if (rc != ERROR_SUCCESS)
        return rc;
    return failed(transaction.commit(), ERROR_CANTWRITE);
}

LONG SqliteHive::subkeyAt(KeyId key, DWORD index, std::string& name)
{
    std::lock_guard lock(m_mutex);
    if (!m_db)
        return key == kRootKey ? ERROR_NO_MORE_ITEMS : ERROR_KEY_DELETED;
    Transaction transaction(m_db.get(), Transaction::Kind::Read);
    LONG rc = beginOn(transaction, key, ERROR_CANTREAD);
    if (rc != ERROR_SUCCESS)
        return rc;
    Statement select(m_db.get(), "SELECT name FROM keys WHERE parent = ? ORDER BY name, id LIMIT 1 OFFSET ?");
    const int stepRc = select.bind(1, key).bind(2, static_cast<std::int64_t>(index)).step();
    if (stepRc == SQLITE_DONE)
        return ERROR_NO_MORE_ITEMS;
    if (stepRc != SQLITE_ROW)
        return failed(stepRc, ERROR_CANTREAD);
    name = select.text(0);
    return ERROR_SUCCESS;
}

// -- values -----------------------------------------------------------------------------------

LONG SqliteHive::readValue(KeyId key, const std::string& name, Value& value)
{
    std::lock_guard lock(m_mutex);
    if (!m_db)
        return key == kRootKey ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
    Transaction transaction(m_db.get(), Transaction::Kind::Read);
    LONG rc = beginOn(transaction, key, ERROR_CANTREAD);
    if (rc != ERROR_SUCCESS)
        return rc;
    Statement select(m_db.get(),
                     "SELECT name, type, data FROM key_values WHERE key = ? AND folded = ? ORDER BY id LIMIT 1");
    const int stepRc = select.bind(1, key).bind(2, platform::unicode::caseFolded(name)).step();
    if (stepRc == SQLITE_DONE)
        return ERROR_FILE_NOT_FOUND;
    if (stepRc != SQLITE_ROW)
        return failed(stepRc, ERROR_CANTREAD);
    value.name = select.text(0);
    value.type = static_cast<DWORD>(select.integer(1));
    value.data = select.blob(2);
    return ERROR_SUCCESS;
}

LONG SqliteHive::writeValue(KeyId key, const std::string& name, DWORD type, const BYTE* data, DWORD size)
{
    std::lock_guard lock(m_mutex);
    LONG rc = requireWritable();
    if (rc != ERROR_SUCCESS)
        return rc;
    Transaction transaction(m_db.get(), Transaction::Kind::Write);
    rc = beginOn(transaction, key, ERROR_CANTWRITE);
    if (rc != ERROR_SUCCESS)
        return rc;
    // On a name already present only type and data change, so the name keeps its first spelling.
    const std::string folded = platform::unicode::caseFolded(name);
    Statement update(m_db.get(), "UPDATE key_values SET type = ?, data = ? WHERE id = "
                                 "(SELECT id FROM key_values WHERE key = ? AND folded = ? ORDER BY id LIMIT 1)");
    rc = failed(update.bind(1, static_cast<std::int64_t>(type)).bindBlob(2, data, size).bind(3, key).bind(4, folded).step(),
                ERROR_CANTWRITE);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (sqlite3_changes(m_db.get()) == 0) {
        Statement insert(m_db.get(), "INSERT INTO key_values (key, name, folded, type, data) VALUES (?, ?, ?, ?, ?)");
        rc = failed(insert.bind(1, key).bind(2, name).bind(3, folded).bind(4, static_cast<std::int64_t>(type))
                        .bindBlob(5, data, size).step(),
                    ERROR_CANTWRITE);
        if (rc != ERROR_SUCCESS)
            return rc;
    }
    return failed(transaction.commit(), ERROR_CANTWRITE);
}

LONG SqliteHive::deleteValue(KeyId key, const std::string& name)
{
    std::lock_guard lock(m_mutex);
    if (!m_db)
        return ERROR_FILE_NOT_FOUND; // nothing stored yet, so nothing to delete
    LONG rc = requireWritable();
    if (rc != ERROR_SUCCESS)
        return rc;
    Transaction transaction(m_db.get(), Transaction::Kind::Write);
    rc = beginOn(transaction, key, ERROR_CANTWRITE);
    if (rc != ERROR_SUCCESS)
        return rc;
    Statement remove(m_db.get(), "DELETE FROM key_values WHERE id = "
                                 "(SELECT id FROM key_values WHERE key = ? AND folded = ? ORDER BY id LIMIT 1)");
    rc = failed(remove.bind(1, key).bind(2, platform::unicode::caseFolded(name)).step(), ERROR_CANTWRITE);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (sqlite3_changes(m_db.get()) == 0)
        return ERROR_FILE_NOT_FOUND;
    return failed(transaction.commit(), ERROR_CANTWRITE);
}

LONG SqliteHive::valueAt(KeyId key, DWORD index, Value& value)
{
    std::lock_guard lock(m_mutex);
    if (!m_db)
        return key == kRootKey ? ERROR_NO_MORE_ITEMS : ERROR_KEY_DELETED;
    Transaction transaction(m_db.get(), Transaction::Kind::Read);
    LONG rc = beginOn(transaction, key, ERROR_CANTREAD);
    if (rc != ERROR_SUCCESS)
        return rc;
    Statement select(m_db.get(),
                     "SELECT name, type, data FROM key_values WHERE key = ? ORDER BY id LIMIT 1 OFFSET ?");
    const int stepRc = select.bind(1, key).bind(2, static_cast<std::int64_t>(index)).step();
    if (stepRc == SQLITE_DONE)
        return ERROR_NO_MORE_ITEMS;
    if (stepRc != SQLITE_ROW)
        return failed(stepRc, ERROR_CANTREAD);
    value.name = select.text(0);
    value.type = static_cast<DWORD>(select.integer(1));
    value.data = select.blob(2);
    return ERROR_SUCCESS;
}
