// The dorvane-reg tool as a script uses it: exit status, one-line errors, the familiar output, hex for
// strings that aren't text, and many dorvane-reg processes writing one hive at once.
#include "SqlAnswer.h"
#include "winreg.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

using dorvane::test::sqlAnswer;

constexpr int kProcessTimeoutMs = 60000;

struct Result {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class DorvaneRegTest : public ::testing::Test {
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

    // How a run differs from a plain one: a fault to inject (see fault_shim.c), or another user.
    struct RunAs {
        QString fault;         // DORVANE_FAULT for the preloaded shim; empty: no shim
        bool nobody = false;   // as user nobody, where root would ignore file permissions
        QString locale = "C.UTF-8"; // LC_ALL: whether the terminal takes UTF-8
    };

    std::unique_ptr<QProcess> start(const QStringList& arguments) const { return start(arguments, RunAs()); }
    std::unique_ptr<QProcess> start(const QStringList& arguments, const RunAs& as) const
    {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", QString::fromStdString((m_root / "config").string()));
        environment.insert("LC_ALL", as.locale);
        if (!as.fault.isEmpty()) {
            environment.insert("LD_PRELOAD", FAULT_SHIM_PATH);
            environment.insert("DORVANE_FAULT", as.fault);
            environment.insert("DORVANE_FAULT_REPORT", QString::fromStdString((m_root / "fault-count").string()));
            // A sanitizer's runtime wants to be first; the shim only wraps a few libc calls.
            environment.insert("ASAN_OPTIONS", environment.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        }
        process->setProcessEnvironment(environment);
        if (as.nobody && geteuid() == 0) {
            process->setProgram("setpriv");
            process->setArguments(QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", REG_TOOL_PATH}
                                  + arguments);
        } else {
            process->setProgram(REG_TOOL_PATH);
            process->setArguments(arguments);
        }
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
    Result reg(const QStringList& arguments, const RunAs& as) const { return finish(*start(arguments, as)); }

    // Gives the test's folders to nobody, for the cases that run as that user.
    void handToNobody() const
    {
        fs::permissions(m_root, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
        if (geteuid() != 0)
            return;
        for (const auto& entry : fs::recursive_directory_iterator(m_root))
            ASSERT_EQ(lchown(entry.path().c_str(), 65534, 65534), 0);
    }

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

TEST_F(DorvaneRegTest, AskingForHelpPrintsTheUsageAndChangesNothing)
{
    const QStringList asks[] = {{"/?"}, {"-?"}, {"--help"}, {"query", "/?"}, {"DELETE", "-?"}};
    for (const QStringList& ask : asks) {
        SCOPED_TRACE(ask.join(' ').toStdString());
        const Result shown = reg(ask);
        EXPECT_EQ(shown.exitCode, 0) << shown.err;
        EXPECT_EQ(shown.out.rfind("Usage:\n  dorvane-reg query  KEY", 0), 0u) << shown.out;
    }
    EXPECT_FALSE(fs::exists(hiveFile()));
}

TEST_F(DorvaneRegTest, AddedValuesShowInTheFamiliarLayout)
{
    struct Case {
        const char* tag;
        QStringList add;
        std::string shown;
        QString locale = "C.UTF-8";
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
        {"a name that would forge a line", {"/v", "x\n    wPath    REG_SZ    evil", "/d", "1"},
         "    x\\x0A    wPath    REG_SZ    evil    REG_SZ    1\n"},
        {"UTF-8 text", {"/v", "User", "/d", "José"}, "    User    REG_SZ    José\n"},
        {"UTF-8 text in other scripts", {"/v", "Data", "/d", "データ €"}, "    Data    REG_SZ    データ €\n"},
        {"UTF-8 text in an ASCII locale", {"/v", "User", "/d", "José"}, "    User    REG_SZ    hex:4A6F73C3A9\n", "C"},
        {"a C1 control character", {"/v", "C1", "/d", "a\u009Bb"}, "    C1    REG_SZ    hex:61C29B62\n"},
        {"a bidirectional override", {"/v", "Bidi", "/d", "a\u202Eb"}, "    Bidi    REG_SZ    hex:61E280AE62\n"},
        {"a UTF-8 name", {"/v", "Größe", "/d", "1"}, "    Größe    REG_SZ    1\n"},
        {"a name that would show reversed", {"/v", "a\u202Eb", "/d", "1"}, "    a\\xE2\\x80\\xAEb    REG_SZ    1\n"},
    };
    for (const auto& value : cases) {
        SCOPED_TRACE(value.tag);
        RunAs as;
        as.locale = value.locale;
        const Result added = reg(QStringList{"add", "HKCU\\Software\\Dorvane Pro"} + value.add + QStringList{"/f"}, as);
        EXPECT_EQ(added.exitCode, 0) << added.err;
        EXPECT_EQ(added.err, "");
        const QStringList which = value.add.first() == "/ve" ? QStringList{"/ve"} : QStringList{"/v", value.add[1]};
        const Result shown = reg(QStringList{"query", "HKEY_CURRENT_USER\\Software\\Dorvane Pro"} + which, as);
        EXPECT_EQ(shown.exitCode, 0) << shown.err;
        EXPECT_EQ(shown.out, "\nHKEY_CURRENT_USER\\Software\\Dorvane Pro\n" + value.shown + "\n");
    }
}

// Strings written by a program rather than typed: the wizard's scrambled password (every top bit
// flipped) shows as its bytes, also when they happen to be printable UTF-8, and so do bytes that
// are no UTF-8 at all.
TEST_F(DorvaneRegTest, AScrambledPasswordAndBytesThatAreNoTextShowAsHex)
{
    struct Case {
        const char* tag;
        const char* key;
        const char* name;
        std::string bytes;
        const char* query; // the key as asked for
        std::string shown;
    };
    const Case cases[] = {
        {"a scrambled password", "Software\\Dorvane Pro\\Settings", "PassWord", "\xE1\xE2\xE3", "HKCU\\Software\\Dorvane Pro\\Settings",
         "    PassWord    REG_SZ    hex:E1E2E3\n"},
        {"a scrambled password that reads as UTF-8", "Software\\Dorvane Pro\\Settings", "PassWord", "\xC3\xA9",
         "hkcu\\SOFTWARE\\dorvane pro\\settings", "    PassWord    REG_SZ    hex:C3A9\n"},
        {"bytes of no UTF-8", "Software\\Other", "Latin1", "Jos\xE9", "HKCU\\Software\\Other",
         "    Latin1    REG_SZ    hex:4A6F73E9\n"},
        {"a password value elsewhere is text", "Software\\Other", "PassWord", "\xC3\xA9", "HKCU\\Software\\Other",
         "    PassWord    REG_SZ    \xC3\xA9\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        ASSERT_EQ(setenv("XDG_CONFIG_HOME", (m_root / "config").c_str(), 1), 0);
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, c.key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        const std::string stored = c.bytes + '\0';
        EXPECT_EQ(RegSetValueExA(key, c.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(stored.data()),
                                 static_cast<DWORD>(stored.size())),
                  ERROR_SUCCESS);
        RegCloseKey(key);
        unsetenv("XDG_CONFIG_HOME");

        const Result shown = reg({"query", c.query, "/v", c.name});
        EXPECT_EQ(shown.exitCode, 0) << shown.err;
        EXPECT_NE(shown.out.find(c.shown), std::string::npos) << shown.out;
    }
}

TEST_F(DorvaneRegTest, AStringIsStoredWithItsTerminatingNul)
{
    ASSERT_EQ(reg({"add", "HKCU\\Software\\Dorvane Pro", "/v", "wPath", "/d", "host"}).exitCode, 0);
    EXPECT_EQ(sqlAnswer(hiveFile(), "SELECT type || ' ' || hex(data) FROM key_values WHERE name = 'wPath'"),
              "1 686F737400");
}

TEST_F(DorvaneRegTest, ListingAKeyShowsItsValuesThenItsSubkeys)
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

TEST_F(DorvaneRegTest, FailuresExitWithOneAndALineOnStderr)
{
    ASSERT_EQ(reg({"add", "HKCU\\Software\\Dorvane Pro", "/v", "wPath", "/d", "first"}).exitCode, 0);
    struct Case {
        const char* tag;
        QStringList arguments;
        std::string message;
    };
    const Case cases[] = {
        {"no arguments", {}, "Invalid syntax. Type \"dorvane-reg /?\" for usage."},
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
        {"data without a value", {"add", "HKCU\\x", "/d", "1"}, "add /v NAME, or /ve"},
        {"a type without a value", {"add", "HKCU\\x", "/t", "REG_DWORD"}, "add /v NAME, or /ve"},
        {"an empty key name", {"add", "HKCU\\x\\\\y"}, "The key 'HKCU\\x\\\\y' has an empty name between two backslashes."},
        {"a key name too long", {"add", "HKCU\\" + QString(256, 'k')}, "A key name is at most 255 bytes long, not 256."},
        {"a key path too deep", {"add", "HKCU" + QString("\\k").repeated(513)},
         "A key path is at most 512 keys deep, not 513."},
        {"a value name too long", {"add", "HKCU\\x", "/v", QString(16384, 'v'), "/d", "1"},
         "A value name is at most 16383 bytes long, not 16384."},
        {"one value and all values", {"delete", "HKCU\\Software\\Dorvane Pro", "/v", "Nope", "/va", "/f"},
         "Give one of /v NAME, /ve and /va, not more."},
        {"data given twice", {"add", "HKCU\\Software\\Dorvane Pro", "/v", "wPath", "/d", "a", "-D", "b", "/f"},
         "Option /d is given twice."},
        {"data on delete", {"delete", "HKCU\\Software\\Dorvane Pro", "/v", "wPath", "/d", "first", "/f"},
         "Option /d does not go with delete."},
        {"all values on query", {"query", "HKCU\\x", "/VA"}, "Option /va does not go with query."},
    };
    for (const auto& failure : cases) {
        SCOPED_TRACE(failure.tag);
        expectFailure(reg(failure.arguments), failure.message);
    }
    const Result kept = reg({"query", "HKCU\\Software\\Dorvane Pro", "/v", "wPath"});
    EXPECT_NE(kept.out.find("REG_SZ    first\n"), std::string::npos) << "a refused add changes nothing";
    EXPECT_EQ(reg({"query", "HKCU\\x"}).exitCode, 1) << "bad data creates no key";
}

TEST_F(DorvaneRegTest, DeleteRemovesAValueOrAWholeKey)
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

// Names typed in one letter case find what was added in another, for every letter alike; names
// that differ otherwise stay apart, and a listing shows the spelling first added.
TEST_F(DorvaneRegTest, KeysAndValuesAreFoundWhateverTheLetterCaseOfTheirNames)
{
    struct Case {
        const char* tag;
        QString written;
        QString asked;
        bool same;
    };
    const Case cases[] = {
        {"letters with diaereses", "Ünï", "üNÏ", true},
        {"capital sharp s", "STRAẞE", "straße", true},
        {"sharp s is not ss", "Straße", "STRASSE", false},
        {"dotted capital I is not i", "İd", "id", false},
        {"accents are not case", "École", "Ecole", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        ASSERT_EQ(reg({"add", "HKCU\\Software\\" + c.written, "/v", c.written, "/d", "1"}).exitCode, 0);
        EXPECT_EQ(reg({"query", "HKCU\\Software\\" + c.asked, "/v", c.asked}).exitCode, c.same ? 0 : 1);
        const Result listed = reg({"query", "HKCU\\Software\\" + c.asked});
        EXPECT_EQ(listed.exitCode, c.same ? 0 : 1) << listed.err;
        if (c.same) {
            EXPECT_EQ(listed.out, "\nHKEY_CURRENT_USER\\Software\\" + c.asked.toStdString() + "\n    "
                                      + c.written.toStdString() + "    REG_SZ    1\n\n");
        }
        const Result deleted = reg({"delete", "HKCU\\Software\\" + c.asked, "/f"});
        EXPECT_EQ(deleted.exitCode, c.same ? 0 : 1) << deleted.err;
        EXPECT_EQ(reg({"query", "HKCU\\Software\\" + c.written}).exitCode, c.same ? 1 : 0);
        reg({"delete", "HKCU\\Software\\" + c.written, "/f"});
    }
}

// A hive written by release 1.0.0 may hold names that only now compare equal: the listing shows
// every value with its own data, and says which key its name can't reach.
TEST_F(DorvaneRegTest, AHiveOfTheFirstReleaseListsEverythingItHeld)
{
    fs::create_directories(hiveFile().parent_path());
    fs::copy_file(DORVANE_FIRST_RELEASE_HIVE, hiveFile());
    fs::permissions(hiveFile(), fs::perms::owner_read | fs::perms::owner_write);
    const Result listed = reg({"query", "HKCU\\Software", "/s"});
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_EQ(listed.out, "\nHKEY_CURRENT_USER\\Software\n"
                          "\nHKEY_CURRENT_USER\\Software\\Dorvane Pro\n"
                          "    wPath    REG_SZ    127.0.0.1:8080\n"
                          "\nHKEY_CURRENT_USER\\Software\\Dorvane Pro\\Settings\n"
                          "    UserName    REG_SZ    José\n"
                          "    PassWord    REG_SZ    hex:E1E2E3\n"
                          "\nHKEY_CURRENT_USER\\Software\\Mixed\n"
                          "    Name    REG_SZ    ascii\n"
                          "\nHKEY_CURRENT_USER\\Software\\Ünï\n"
                          "    zeta    REG_SZ    z\n"
                          "    Ärger    REG_SZ    first\n"
                          "    ärger    REG_SZ    second\n"
                          "    alpha    REG_SZ    a\n");
    EXPECT_EQ(listed.err, "Note: HKEY_CURRENT_USER\\Software\\ünï is not listed: its name differs from a key listed "
                          "above only in letter case, and that key is the one its name opens.\n");
}

// Many processes start on a hive that doesn't exist yet, so they also race to create it.
TEST_F(DorvaneRegTest, ManyWriterProcessesAtOnceAllSucceedAndTheFileStaysIntact)
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

    EXPECT_EQ(sqlAnswer(hiveFile(), "PRAGMA integrity_check"), "ok");
    // Only the hive is left: no half-made hive from a process that lost the race.
    EXPECT_EQ(std::distance(fs::directory_iterator(hiveFile().parent_path()), fs::directory_iterator()), 1);
}

// --- hive faults ------------------------------------------------------------------------------

// Whole: every page sound, and no key or value whose parent is gone.
void expectWhole(const fs::path& hive)
{
    EXPECT_EQ(sqlAnswer(hive, "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(sqlAnswer(hive, "SELECT count(*) FROM keys k WHERE k.id <> 1 AND NOT EXISTS "
                              "(SELECT 1 FROM keys p WHERE p.id = k.parent)"),
              "0");
    EXPECT_EQ(sqlAnswer(hive, "SELECT count(*) FROM key_values v WHERE NOT EXISTS "
                              "(SELECT 1 FROM keys k WHERE k.id = v.key)"),
              "0");
}

// Nothing half-made beside the hive (SQLite's own journal it manages itself).
void expectNoCreatorsLeftovers(const fs::path& folder)
{
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored)) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "registry.db" || name == "registry.db-journal") << name;
    }
}

// The hive file, its folder or the folders above it are broken in one way each; the failure says
// what happened to which file, and the links that do lead to a hive work.
TEST_F(DorvaneRegTest, TheHiveFileItsLinksAndItsFoldersFailWithWhatHappenedToWhichFile)
{
    const fs::path config = m_root / "config";
    const fs::path folder = config / "dorvane";
    const std::string hive = hiveFile().string();
    const auto makeHive = [this] {
        ASSERT_EQ(reg({"add", "HKCU\\Software\\Kept", "/v", "v", "/d", "kept"}).exitCode, 0);
    };
    struct Case {
        const char* tag;
        std::function<void()> setup;
        QStringList arguments;
        RunAs as;
        int exitCode;
        std::vector<std::string> said; // on stderr for a failure, stdout otherwise
        bool notAHive = false;         // the hive's file is no hive at all
    };
    const Case cases[] = {
        {"the config folder is a file", [&] { std::ofstream(config) << "x"; },
         {"add", "HKCU\\a", "/v", "x", "/d", "1"}, {}, 1, {config.string() + " is a file", "(system error 3)"}},
        {"the config folder is a file, read", [&] { std::ofstream(config) << "x"; },
         {"query", "HKCU\\a"}, {}, 1, {config.string() + " is a file, where the settings hive needs a folder."}},
        {"a file that is no hive", [&] { fs::create_directories(folder); std::ofstream(hiveFile()) << "wPath=x"; },
         {"query", "HKCU\\a"}, {}, 1,
         {"The settings hive " + hive + " is damaged or is not a settings hive; it was left as it is.",
          "(system error 1009)"}, true},
        {"the hive is a dangling link", [&] { fs::create_directories(folder); fs::create_symlink(m_root / "gone.db", hiveFile()); },
         {"add", "HKCU\\a", "/v", "x", "/d", "1"}, {}, 1,
         {hive + " is a link to " + (m_root / "gone.db").string() + ", which does not exist"}},
        {"the hive is a folder", [&] { fs::create_directories(hiveFile()); },
         {"query", "HKCU\\a"}, {}, 1, {hive + " is not a file"}},
        {"the hive links to itself", [&] { fs::create_directories(folder); fs::create_symlink(hiveFile(), hiveFile()); },
         {"query", "HKCU\\a"}, {}, 1, {"Cannot reach the settings hive " + hive, "Too many levels of symbolic links"}},
        {"an unreadable hive", [&] { makeHive(); fs::permissions(hiveFile(), fs::perms::none); handToNobody(); },
         {"query", "HKCU\\Software\\Kept"}, {QString(), true}, 1,
         {"Access is denied. Cannot read the settings hive " + hive + ": Permission denied"}},
        {"a write-protected folder", [&] { makeHive(); fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec); handToNobody(); },
         {"add", "HKCU\\Software\\Kept", "/v", "w", "/d", "1"}, {QString(), true}, 1,
         {"Access is denied. The settings hive " + hive + " is write-protected"}},
        {"a full disk", makeHive, {"add", "HKCU\\Software\\Kept", "/v", "w", "/d", "1"}, {"full:1"}, 1,
         {"There is not enough space on the disk. Cannot write the settings hive " + hive, "(system error 112)"}},
        {"a full disk while the hive is made", [] {}, {"add", "HKCU\\a", "/v", "x", "/d", "1"}, {"full:1"}, 1,
         {"There is not enough space on the disk. Cannot write the new settings hive " + hive + ".new-"}},
        {"the hive links to a file elsewhere",
         [&] { makeHive(); fs::rename(hiveFile(), m_root / "elsewhere.db"); fs::create_symlink(m_root / "elsewhere.db", hiveFile()); },
         {"query", "HKCU\\Software\\Kept"}, {}, 0, {"    v    REG_SZ    kept\n"}},
        {"the hive's folder links elsewhere",
         [&] { fs::create_directories(m_root / "real"); fs::create_directories(config); fs::create_symlink(m_root / "real", folder); },
         {"add", "HKCU\\a", "/v", "x", "/d", "1"}, {}, 0, {"The operation completed successfully."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        std::error_code ignored;
        fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(config, ignored);
        fs::remove(m_root / "elsewhere.db", ignored);
        fs::remove_all(m_root / "real", ignored);
        c.setup();
        const Result result = reg(c.arguments, c.as);
        if (c.exitCode != 0) {
            expectFailure(result, c.said.front());
            // Each sentence once: the hive and its path named at most once.
            for (const std::string& once : {hive, std::string("The settings hive")}) {
                const auto first = result.err.find(once);
                EXPECT_TRUE(first == std::string::npos || result.err.find(once, first + 1) == std::string::npos)
                    << result.err;
            }
        } else {
            EXPECT_EQ(result.exitCode, 0) << result.err;
        }
        for (const std::string& text : c.said)
            EXPECT_NE((c.exitCode != 0 ? result.err : result.out).find(text), std::string::npos) << result.err;
        if (fs::is_regular_file(hiveFile(), ignored) && !c.as.nobody && !c.notAHive)
            expectWhole(hiveFile());
        expectNoCreatorsLeftovers(folder);
        fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add, ignored);
    }
}

// Each operation is killed (SIGKILL, from the shim) just before each of the calls it makes that
// change a file, in turn. After every kill the hive opens, is whole, holds what was committed
// before, holds the operation's change entirely or not at all (a tree is deleted key by key, so
// there any key may be gone), and a creator's leftovers are gone at the next use.
TEST_F(DorvaneRegTest, KilledAtEveryPointOfEachOperationTheHiveStaysWholeAndLosesNothingCommitted)
{
    const QStringList baseline[] = {
        {"add", "HKCU\\Software\\Dorvane Pro", "/v", "wPath", "/d", "127.0.0.1:8080"},
        {"add", "HKCU\\Software\\Dorvane Pro\\Settings", "/v", "UserName", "/d", "alice"},
        {"add", "HKCU\\Software\\Tree\\A\\B", "/v", "leaf", "/t", "REG_DWORD", "/d", "7"},
    };
    const fs::path saved = m_root / "baseline.db";
    const fs::path firstRelease = DORVANE_FIRST_RELEASE_HIVE; // see tests/platform/registry
    struct Case {
        const char* tag;
        const fs::path* start; // the hive before the operation; null: the operation creates it
        QStringList operation;
        bool atomic;
    };
    const Case cases[] = {
        {"creating the hive", nullptr, {"add", "HKCU\\Software\\Dorvane Pro", "/v", "wPath", "/d", "h"}, false},
        {"adding a value", &saved, {"add", "HKCU\\Software\\Dorvane Pro\\Settings", "/v", "PassWord", "/d", "x"}, true},
        {"overwriting a value", &saved, {"add", "HKCU\\Software\\Dorvane Pro", "/v", "wPath", "/d", "other", "/f"}, true},
        {"adding a deep key", &saved, {"add", "HKCU\\Software\\New\\Deep\\Key", "/v", "v", "/d", "1"}, false},
        {"deleting a value", &saved, {"delete", "HKCU\\Software\\Dorvane Pro\\Settings", "/v", "UserName", "/f"}, true},
        {"deleting a tree", &saved, {"delete", "HKCU\\Software\\Tree", "/f"}, false},
        // The listing is the same before and after the upgrade; after every kill the hive opens whole.
        {"upgrading a hive of the first release", &firstRelease, {"query", "HKCU\\Software\\Mixed"}, true},
    };
    const QStringList everything = {"query", "HKCU", "/s"};
    for (const QStringList& add : baseline)
        ASSERT_EQ(reg(add).exitCode, 0);
    fs::copy_file(hiveFile(), saved);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        const auto reset = [&] {
            fs::remove_all(hiveFile().parent_path());
            if (c.start != nullptr) {
                fs::create_directories(hiveFile().parent_path());
                fs::copy_file(*c.start, hiveFile());
                fs::permissions(hiveFile(), fs::perms::owner_read | fs::perms::owner_write);
            }
        };
        reset();
        const std::string before = c.start != nullptr ? reg(everything).out : "\nHKEY_CURRENT_USER\n\n";
        reset();
        ASSERT_EQ(reg(c.operation, {"count"}).exitCode, 0);
        const std::string after = reg(everything).out;
        std::ifstream countFile(m_root / "fault-count");
        int points = 0;
        countFile >> points;
        ASSERT_GT(points, 0);
        for (int point = 1; point <= points; ++point) {
            SCOPED_TRACE("killed before call " + std::to_string(point) + " of " + std::to_string(points));
            reset();
            EXPECT_EQ(reg(c.operation, {"kill:" + QString::number(point)}).exitCode, -1) << "not killed";
            const Result now = reg(everything);
            if (c.start == nullptr && !fs::exists(hiveFile())) {
                // Killed before the hive was in place: there is none yet, and nothing is left over.
                EXPECT_EQ(now.exitCode, 0) << now.err;
                ASSERT_EQ(reg({"add", "HKCU\\Probe"}).exitCode, 0);
                expectNoCreatorsLeftovers(hiveFile().parent_path());
                continue;
            }
            ASSERT_EQ(now.exitCode, 0) << now.err;
            expectWhole(hiveFile());
            if (c.atomic) {
                EXPECT_TRUE(now.out == before || now.out == after) << now.out;
            } else if (c.start == &saved) {
                EXPECT_NE(now.out.find("wPath    REG_SZ    127.0.0.1:8080"), std::string::npos) << now.out;
            }
            expectNoCreatorsLeftovers(hiveFile().parent_path());
        }
    }
}

// Adders and deleters of one tree at once: adders succeed (one whose key was deleted adds it
// again), deleters succeed or find the tree gone already (one that finds a key gone, or a new
// subkey, carries on), and the hive stays whole, without a key or value under a deleted parent.
TEST_F(DorvaneRegTest, ConcurrentDeletesAndAddsOfOneTreeLeaveItWhole)
{
    ASSERT_EQ(reg({"add", "HKCU\\Software\\Tree\\A\\B", "/v", "v", "/d", "0"}).exitCode, 0);
    constexpr int kRounds = 6;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::unique_ptr<QProcess>> adders;
        std::vector<std::unique_ptr<QProcess>> deleters;
        ASSERT_EQ(reg({"add", "HKCU\\Software\\Tree"}).exitCode, 0); // so every deleter finds it
        for (int p = 0; p < 4; ++p) {
            const QString deep = QString("HKCU\\Software\\Tree\\A\\B\\P%1").arg(p);
            adders.push_back(start({"add", deep, "/v", "v", "/d", QString::number(round), "/f"}));
            deleters.push_back(start({"delete", "HKCU\\Software\\Tree", "/f"}));
        }
        for (auto& adder : adders) {
            const Result result = finish(*adder);
            EXPECT_EQ(result.exitCode, 0) << result.err;
        }
        for (auto& deleter : deleters) {
            const Result result = finish(*deleter);
            if (result.exitCode != 0)
                expectFailure(result, "unable to find");
        }
        expectWhole(hiveFile());
    }
    EXPECT_EQ(reg({"query", "HKCU", "/s"}).exitCode, 0);
}

} // namespace
