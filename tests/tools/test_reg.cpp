// The reg tool as a script uses it: exit status, one-line errors, the familiar output, hex for
// strings that aren't text, and many reg processes writing one hive at once.
#include "winreg.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kProcessTimeoutMs = 60000;

struct Result {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class RegToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "reg-tool-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }

    std::unique_ptr<QProcess> start(const QStringList& arguments) const
    {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", QString::fromStdString((m_root / "config").string()));
        process->setProcessEnvironment(environment);
        process->setProgram(REG_TOOL_PATH);
        process->setArguments(arguments);
        process->start();
        return process;
    }

    static Result finish(QProcess& process)
    {
        Result result;
        if (!process.waitForFinished(kProcessTimeoutMs) || process.exitStatus() != QProcess::NormalExit)
            return result;
        result.exitCode = process.exitCode();
        result.out = process.readAllStandardOutput().toStdString();
        result.err = process.readAllStandardError().toStdString();
        return result;
    }

    Result reg(const QStringList& arguments) const { return finish(*start(arguments)); }

    fs::path hiveFile() const { return m_root / "config" / "dorvane" / "registry.db"; }

    fs::path m_root;
};

// A failure says so in one line on stderr and nothing on stdout.
void expectFailure(const Result& result, const std::string& message)
{
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
    ASSERT_FALSE(result.err.empty());
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one line: " << result.err;
}

TEST_F(RegToolTest, AddedValuesShowInTheFamiliarLayout)
{
    struct Case {
        const char* tag;
        QStringList add;
        std::string shown;
    };
    const Case cases[] = {
        {"string", {"/v", "wPath", "/d", "localhost:8080"}, "    wPath    REG_SZ    localhost:8080\n"},
        {"typed string", {"/v", "Path", "/t", "REG_EXPAND_SZ", "/d", "%HOME%"}, "    Path    REG_EXPAND_SZ    %HOME%\n"},
        {"decimal dword", {"/v", "Count", "/t", "REG_DWORD", "/d", "16"}, "    Count    REG_DWORD    0x10\n"},
        {"hex dword", {"/v", "Mask", "/t", "reg_dword", "/d", "0xFFFFFFFF"}, "    Mask    REG_DWORD    0xffffffff\n"},
        {"binary", {"/v", "Blob", "/t", "REG_BINARY", "/d", "00ff10"}, "    Blob    REG_BINARY    00FF10\n"},
        {"multi string", {"/v", "List", "/t", "REG_MULTI_SZ", "/d", "a\\0b c"}, "    List    REG_MULTI_SZ    a\\0b c\n"},
        {"none", {"/v", "Nothing", "/t", "REG_NONE", "/d", ""}, "    Nothing    REG_NONE    \n"},
        {"default value", {"/ve", "/d", "x"}, "    (Default)    REG_SZ    x\n"},
        {"string with a control character", {"/v", "Tab", "/d", "a\tb"}, "    Tab    REG_SZ    hex:610962\n"},
    };
    for (const auto& value : cases) {
        SCOPED_TRACE(value.tag);
        const Result added = reg(QStringList{"add", "HKCU\\Software\\Dorvane Pro"} + value.add);
        EXPECT_EQ(added.exitCode, 0) << added.err;
        EXPECT_EQ(added.err, "");
        const QStringList which = value.add.first() == "/ve" ? QStringList{"/ve"} : QStringList{"/v", value.add[1]};
        const Result shown = reg(QStringList{"query", "HKEY_CURRENT_USER\\Software\\Dorvane Pro"} + which);
        EXPECT_EQ(shown.exitCode, 0) << shown.err;
        EXPECT_EQ(shown.out, "\nHKEY_CURRENT_USER\\Software\\Dorvane Pro\n" + value.shown + "\n");
    }
}

// The program stores the password scrambled (every top bit flipped); the shell shows its bytes.
TEST_F(RegToolTest, AScrambledPasswordShowsAsHexBytes)
{
    ASSERT_EQ(setenv("XDG_CONFIG_HOME", (m_root / "config").c_str(), 1), 0);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Dorvane Pro\\Settings", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const BYTE scrambled[] = {0xE1, 0xE2, 0xE3, 0x00};
    EXPECT_EQ(RegSetValueExA(key, "PassWord", 0, REG_SZ, scrambled, sizeof scrambled), ERROR_SUCCESS);
    RegCloseKey(key);
    unsetenv("XDG_CONFIG_HOME");

    const Result shown = reg({"query", "HKCU\\Software\\Dorvane Pro\\Settings", "/v", "PassWord"});
    EXPECT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_EQ(shown.out, "\nHKEY_CURRENT_USER\\Software\\Dorvane Pro\\Settings\n    PassWord    REG_SZ    hex:E1E2E3\n\n");
}

TEST_F(RegToolTest, AStringIsStoredWithItsTerminatingNul)
{
    ASSERT_EQ(reg({"add", "HKCU\\Software\\Dorvane Pro", "/v", "wPath", "/d", "host"}).exitCode, 0);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(hiveFile().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT type, hex(data) FROM key_values WHERE name = 'wPath'", -1, &statement,
                                 nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(statement, 0), 1);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)), "686F737400");
    sqlite3_finalize(statement);
    sqlite3_close(db);
}

TEST_F(RegToolTest, ListingAKeyShowsItsValuesThenItsSubkeys)
{
    ASSERT_EQ(reg({"add", "HKCU\\Software\\Dorvane Pro", "/v", "wPath", "/d", "h"}).exitCode, 0);
    ASSERT_EQ(reg({"add", "HKCU\\Software\\Dorvane Pro\\Settings", "/v", "UserName", "/d", "ann"}).exitCode, 0);
    const Result listed = reg({"query", "HKCU\\Software\\Dorvane Pro"});
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_EQ(listed.out, "\nHKEY_CURRENT_USER\\Software\\Dorvane Pro\n"
                          "    wPath    REG_SZ    h\n"
                          "\nHKEY_CURRENT_USER\\Software\\Dorvane Pro\\Settings\n");
    const Result tree = reg({"query", "HKCU\\Software", "/s"});
    EXPECT_NE(tree.out.find("\nHKEY_CURRENT_USER\\Software\\Dorvane Pro\\Settings\n    UserName    REG_SZ    ann\n"),
              std::string::npos)
        << tree.out;
}

TEST_F(RegToolTest, FailuresExitWithOneAndALineOnStderr)
{
    ASSERT_EQ(reg({"add", "HKCU\\Software\\Dorvane Pro", "/v", "wPath", "/d", "first"}).exitCode, 0);
    struct Case {
        const char* tag;
        QStringList arguments;
        std::string message;
    };
    const Case cases[] = {
        {"no arguments", {}, "Invalid syntax"},
        {"unknown operation", {"copy", "HKCU\\x"}, "Unknown operation"},
        {"another root", {"query", "HKLM\\Software"}, "Only HKCU"},
        {"missing key", {"query", "HKCU\\Software\\Nowhere"}, "unable to find"},
        {"missing value", {"query", "HKCU\\Software\\Dorvane Pro", "/v", "Nope"}, "unable to find"},
        {"existing value without /f", {"add", "HKCU\\Software\\Dorvane Pro", "/v", "wPath", "/d", "second"}, "/f"},
        {"delete without /f", {"delete", "HKCU\\Software\\Dorvane Pro"}, "/f"},
        {"unknown type", {"add", "HKCU\\x", "/v", "a", "/t", "REG_QWORD", "/d", "1"}, "Unknown type"},
        {"bad dword", {"add", "HKCU\\x", "/v", "a", "/t", "REG_DWORD", "/d", "12z"}, "REG_DWORD"},
        {"dword too large", {"add", "HKCU\\x", "/v", "a", "/t", "REG_DWORD", "/d", "4294967296"}, "larger"},
        {"odd hex", {"add", "HKCU\\x", "/v", "a", "/t", "REG_BINARY", "/d", "abc"}, "hex digits"},
        {"option without argument", {"add", "HKCU\\x", "/v"}, "needs an argument"},
        {"deleting a missing value", {"delete", "HKCU\\Software\\Dorvane Pro", "/v", "Nope", "/f"}, "unable to find"},
    };
    for (const auto& failure : cases) {
        SCOPED_TRACE(failure.tag);
        expectFailure(reg(failure.arguments), failure.message);
    }
    const Result kept = reg({"query", "HKCU\\Software\\Dorvane Pro", "/v", "wPath"});
    EXPECT_NE(kept.out.find("REG_SZ    first\n"), std::string::npos) << "a refused add changes nothing";
    EXPECT_EQ(reg({"query", "HKCU\\x"}).exitCode, 1) << "bad data creates no key";
}

TEST_F(RegToolTest, DeleteRemovesAValueOrAWholeKey)
{
    ASSERT_EQ(reg({"add", "HKCU\\Software\\Dorvane Pro", "/v", "wPath", "/d", "h"}).exitCode, 0);
    ASSERT_EQ(reg({"add", "HKCU\\Software\\Dorvane Pro\\Settings", "/v", "UserName", "/d", "ann"}).exitCode, 0);
    EXPECT_EQ(reg({"add", "HKCU\\Software\\Dorvane Pro", "/v", "wPath", "/d", "other", "/f"}).exitCode, 0);
    EXPECT_EQ(reg({"delete", "HKCU\\Software\\Dorvane Pro", "/v", "WPATH", "/f"}).exitCode, 0);
    EXPECT_EQ(reg({"query", "HKCU\\Software\\Dorvane Pro", "/v", "wPath"}).exitCode, 1);
    EXPECT_EQ(reg({"delete", "HKCU\\Software\\Dorvane Pro", "/f"}).exitCode, 0);
    EXPECT_EQ(reg({"query", "HKCU\\Software\\Dorvane Pro\\Settings"}).exitCode, 1);
    EXPECT_EQ(reg({"query", "HKCU\\Software"}).exitCode, 0);
}

// Many processes start on a hive that doesn't exist yet, so they also race to create it.
TEST_F(RegToolTest, ManyWriterProcessesAtOnceAllSucceedAndTheFileStaysIntact)
{
    constexpr int kProcesses = 10;
    constexpr int kRounds = 3;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::unique_ptr<QProcess>> writers;
        for (int p = 0; p < kProcesses; ++p) {
            const QString name = QString("p%1-r%2").arg(p).arg(round);
            writers.push_back(start({"add", "HKCU\\Software\\Race\\Deeper", "/v", name, "/d", name}));
            writers.push_back(start({"add", "HKCU\\Software\\Race", "/v", "Shared", "/t", "REG_DWORD", "/d",
                                     QString::number(p), "/f"}));
        }
        for (auto& writer : writers) {
            const Result result = finish(*writer);
            EXPECT_EQ(result.exitCode, 0) << result.err;
        }
    }

    for (int round = 0; round < kRounds; ++round) {
        for (int p = 0; p < kProcesses; ++p) {
            const std::string name = "p" + std::to_string(p) + "-r" + std::to_string(round);
            const Result shown = reg({"query", "HKCU\\Software\\Race\\Deeper", "/v", QString::fromStdString(name)});
            EXPECT_NE(shown.out.find("REG_SZ    " + name + "\n"), std::string::npos) << name;
        }
    }
    EXPECT_NE(reg({"query", "HKCU\\Software\\Race", "/v", "Shared"}).out.find("REG_DWORD    0x"), std::string::npos);

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(hiveFile().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)), "ok");
    sqlite3_finalize(statement);
    sqlite3_close(db);
    // Only the hive is left: no half-made hive from a process that lost the race.
    EXPECT_EQ(std::distance(fs::directory_iterator(hiveFile().parent_path()), fs::directory_iterator()), 1);
}

} // namespace
