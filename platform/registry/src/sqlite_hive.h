// One settings hive file: a tree of keys holding typed values, kept in an SQLite database.
// Internal to the registry family (registry_sqlite.cpp); callers use winreg.h.
//
// Every call returns a system error code (ERROR_SUCCESS on success). Every write is one
// transaction. A file that is not a hive, or is damaged, is never written to: each call fails
// with ERROR_BADDB and the file stays as it is.
//
//     std::shared_ptr<SqliteHive> hive;
//     if (SqliteHive::open(path, SqliteHive::Intent::Write, hive) == ERROR_SUCCESS) {
//         SqliteHive::KeyId key = 0;
//         bool created = false;
//         LONG rc = hive->createKey(SqliteHive::kRootKey, {"Software", "Example"}, key, created);
//     }
#pragma once

#include "windef.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;

class SqliteHive {
public:
    using KeyId = std::int64_t;
    static constexpr KeyId kRootKey = 1;

    enum class Intent {
        Read,   // never creates the file; a missing file reads as an empty hive
        Write,  // as Read, and an existing file is checked page by page before it is written to
        Create, // as Write, and creates the folder (0700) and the file (0600) when missing
    };

    struct Value {
        std::string name;
        DWORD type = 0;
        std::vector<BYTE> data;
    };

    ~SqliteHive();
    SqliteHive(const SqliteHive&) = delete;
    SqliteHive& operator=(const SqliteHive&) = delete;

    // Opens the hive at path. A file or folder without write permission for its owner opens
    // read-only (writable() is false) whatever the intent, so that even a process that bypasses
    // permissions (root) leaves a write-protected hive alone.
    [[nodiscard]] static LONG open(const std::string& path, Intent intent, std::shared_ptr<SqliteHive>& hive);

    // What the last failure on this thread that came from the hive's file said: what happened and
    // which file, as a sentence. noteFailure() replaces it, clearFailure() empties it; each
    // registry call starts by emptying it.
    [[nodiscard]] static const std::string& lastFailure();
    static void clearFailure();

    [[nodiscard]] bool exists() const { return m_db != nullptr; }
    [[nodiscard]] bool writable() const { return m_writable; }
    // ERROR_ACCESS_DENIED, noting why, unless the hive can be written.
    [[nodiscard]] LONG requireWritable() const;
    [[nodiscard]] const std::string& path() const { return m_path; }

    // Keys. A path is a list of names, each compared whatever its letter case
    // (platform::unicode::caseFolded); a name keeps the spelling first written.
    [[nodiscard]] LONG findKey(KeyId from, const std::vector<std::string>& path, KeyId& key);
    [[nodiscard]] LONG createKey(KeyId from, const std::vector<std::string>& path, KeyId& key, bool& created);
    [[nodiscard]] LONG checkKey(KeyId key);
    // Deletes a key that has no subkeys, with its values; ERROR_ACCESS_DENIED when it has subkeys.
    [[nodiscard]] LONG deleteKey(KeyId from, const std::vector<std::string>& path);
    // Subkeys in name order; ERROR_NO_MORE_ITEMS past the last.
    [[nodiscard]] LONG subkeyAt(KeyId key, DWORD index, std::string& name);

    // Values. Names compare as key names do.
    [[nodiscard]] LONG readValue(KeyId key, const std::string& name, Value& value);
    [[nodiscard]] LONG writeValue(KeyId key, const std::string& name, DWORD type, const BYTE* data, DWORD size);
    [[nodiscard]] LONG deleteValue(KeyId key, const std::string& name);
    // Values in the order they were first written; ERROR_NO_MORE_ITEMS past the last.
    [[nodiscard]] LONG valueAt(KeyId key, DWORD index, Value& value);

private:
    class Transaction;
    class Statement;

    struct DatabaseCloser {
        void operator()(sqlite3* db) const noexcept;
    };
    using Database = std::unique_ptr<sqlite3, DatabaseCloser>;

    SqliteHive(std::string path, Database db, bool writable);

    [[nodiscard]] static LONG create(const std::string& path);
    [[nodiscard]] static LONG buildNew(const std::string& temporary);
    static void removeDeadCreatorsLeftovers(const std::string& path);
    [[nodiscard]] static LONG openExisting(const std::string& path, bool writable, Database& db);
    // Each sets sqliteRc to the SQLite code it ended with, for the message.
    // The hive's layout (user_version) when the file is a hive of a known layout.
    [[nodiscard]] static LONG checkIsHive(sqlite3* db, int& layout, int& sqliteRc);
    [[nodiscard]] static LONG checkPages(sqlite3* db, int& sqliteRc);
    // From the first layout to the current one, in place.
    [[nodiscard]] static LONG upgrade(sqlite3* db, int& sqliteRc);
    // Replaces db with an upgraded copy of it in memory, leaving its file alone.
    [[nodiscard]] static LONG upgradedCopy(Database& db, int& sqliteRc);
    static void noteOpenFailure(const std::string& path, const char* action, LONG rc, sqlite3* db, int sqliteRc);

    [[nodiscard]] LONG childOf(KeyId parent, const std::string& name, KeyId& child);
    [[nodiscard]] LONG walk(KeyId from, const std::vector<std::string>& path, KeyId& key);
    [[nodiscard]] LONG requireKey(KeyId key);
    [[nodiscard]] LONG beginOn(Transaction& transaction, KeyId key, DWORD failure);
    // The code of a failed SQLite call (fallback for failures that say nothing more specific),
    // noting what happened to this hive's file.
    [[nodiscard]] LONG failed(int sqliteCode, DWORD fallback) const;

    std::string m_path;
    Database m_db; // null: the file does not exist yet, and the hive reads as empty
    bool m_writable = false;
    std::mutex m_mutex; // one call at a time on the connection
};
