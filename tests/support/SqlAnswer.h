// The first row of an SQL answer as text, read from a settings hive on a connection of the test's
// own; "" when it fails. Tests look past the registry API at what the file holds.
#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <string>

namespace dorvane::test {

inline std::string sqlAnswer(const std::filesystem::path& hive, const char* sql)
{
    sqlite3* db = nullptr;
    std::string answer;
    if (sqlite3_open_v2(hive.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW)
            answer = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return answer;
}

} // namespace dorvane::test
