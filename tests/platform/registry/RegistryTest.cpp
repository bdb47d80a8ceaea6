// The settings hive through the registry calls: values keep their exact bytes and type, names
// ignore case and keep their first spelling, sizes and failures come back with the usual codes,
// and a damaged or write-protected hive is never written to.
#include "SqlAnswer.h"
#include "fault_injection.h"
#include "registry_failure.h"
#include "winreg.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<BYTE>;
using dorvane::test::sqlAnswer;

Bytes bytesOf(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, std::string_view content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

// A config folder of the test's own: XDG_CONFIG_HOME points into it for the test's lifetime.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "registry-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
        ASSERT_EQ(setenv("XDG_CONFIG_HOME", (m_root / "config").c_str(), 1), 0);
    }

    void TearDown() override
    {
        // Permissions a test took away come back first, so the folder can be removed.
        std::error_code ignored;
        for (const auto& entry : fs::recursive_directory_iterator(m_root, ignored))
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(m_root, ignored);
        unsetenv("XDG_CONFIG_HOME");
    }

    fs::path folder() const { return m_root / "config" / "dorvane"; }
    fs::path hiveFile() const { return folder() / "registry.db"; }

    static HKEY create(const char* path, REGSAM access = KEY_ALL_ACCESS, DWORD* disposition = nullptr)
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                                  &key, disposition),
                  ERROR_SUCCESS);
        return key;
    }

    static void set(HKEY key, const char* name, DWORD type, const Bytes& data)
    {
        ASSERT_EQ(RegSetValueExA(key, name, 0, type, data.data(), static_cast<DWORD>(data.size())), ERROR_SUCCESS);
    }

    static LONG read(HKEY key, const char* name, DWORD& type, Bytes& data)
    {
        DWORD size = 0;
        LONG rc = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
        if (rc != ERROR_SUCCESS)
            return rc;
        data.assign(size, 0);
        rc = RegQueryValueExA(key, name, nullptr, &type, data.data(), &size);
        data.resize(size);
        return rc;
    }

    fs::path m_root;
};

struct ValueCase {
    const char* tag;
    DWORD type;
    Bytes data;
};

TEST_F(RegistryTest, ValuesComeBackWithTheirTypeAndExactBytes)
{
    const ValueCase cases[] = {
        {"string with its NUL", REG_SZ, bytesOf(std::string_view("abc", 4))},
        {"string without a NUL", REG_SZ, bytesOf("abc")},
        {"string with NUL and high bytes inside", REG_SZ, Bytes{0xE1, 0x00, 0x80, 0xFF, 0x00}},
        {"empty string", REG_SZ, Bytes{0x00}},
        {"expandable string", REG_EXPAND_SZ, bytesOf(std::string_view("%HOME%\\x", 9))},
        {"binary", REG_BINARY, Bytes{0x00, 0x01, 0xFE, 0xFF, 0x00}},
        {"empty binary", REG_BINARY, Bytes{}},
        {"dword", REG_DWORD, Bytes{0x78, 0x56, 0x34, 0x12}},
        {"multi string", REG_MULTI_SZ, bytesOf(std::string_view("a\0bc\0\0", 6))},
        {"none", REG_NONE, Bytes{}},
        {"a type the system doesn't name", 0x1234, Bytes{0x42}},
    };
    HKEY key = create("Software\\Round Trip");
    for (const auto& value : cases)
        set(key, value.tag, value.type, value.data);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    // A fresh open reads from the file, not from anything this handle kept.
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Round Trip", 0, KEY_READ, &key), ERROR_SUCCESS);
    for (const auto& value : cases) {
        SCOPED_TRACE(value.tag);
        DWORD type = 0;
        Bytes data;
        ASSERT_EQ(read(key, value.tag, type, data), ERROR_SUCCESS);
        EXPECT_EQ(type, value.type);
        EXPECT_EQ(data, value.data);
    }
    RegCloseKey(key);
}

// A key and a value are written under one spelling and asked for under another: the same name
// opens, reads, re-creates and deletes them exactly when the two spellings differ only in letter
// case, and every listing shows the spelling first written.
TEST_F(RegistryTest, NamesIgnoreLetterCaseInEveryScriptAndKeepTheSpellingFirstWritten)
{
    struct Case {
        const char* tag;
        const char* written;
        const char* asked;
        bool same;
    };
    const Case cases[] = {
        {"ASCII", "UserName", "USERNAME", true},
        {"Latin letters with diaereses", "Ünï", "üNÏ", true},
        {"Greek, with a final sigma", "ΣΊΣΥΦΟΣ", "σίσυφος", true},
        {"Cyrillic", "Настройки", "НАСТРОЙКИ", true},
        {"a letter outside the first plane", "𐐀", "𐐨", true},
        {"the Kelvin sign is a k", "\u212A", "k", true},
        {"capital sharp s is sharp s", "STRAẞE", "straße", true},
        {"sharp s is not ss", "straße", "STRASSE", false},
        {"I and i are one letter", "INI", "ini", true},
        {"dotted capital I is not i", "İ", "i", false},
        {"dotless i is not I", "ı", "I", false},
        {"letters without a case partner", "データ", "データ", true},
        {"a letter without a case partner is no other letter", "ª", "A", false},
        {"accented letters in both cases", "École", "éCOLE", true},
        {"names that differ in accents stay apart", "Ecole", "École", false},
        {"bytes outside UTF-8 compare exactly", "\xC9", "\xE9", false},
    };
    for (size_t row = 0; row < std::size(cases); ++row) {
        const Case& c = cases[row];
        SCOPED_TRACE(c.tag);
        const std::string parent = "Software\\Row" + std::to_string(row);
        const std::string written = parent + "\\" + c.written;
        const std::string asked = parent + "\\" + c.asked;
        HKEY key = create(written.c_str());
        set(key, c.written, REG_SZ, bytesOf("first"));
        RegCloseKey(key);

        const LONG found = c.same ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, asked.c_str(), 0, KEY_READ, &key), found);
        if (found == ERROR_SUCCESS)
            RegCloseKey(key);
        DWORD disposition = 0;
        key = create(asked.c_str(), KEY_ALL_ACCESS, &disposition);
        EXPECT_EQ(disposition, c.same ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY);
        DWORD type = 0;
        Bytes data;
        EXPECT_EQ(read(key, c.asked, type, data), found);
        set(key, c.asked, REG_SZ, bytesOf("second"));
        char name[64];
        DWORD nameLength = sizeof name;
        ASSERT_EQ(RegEnumValueA(key, 0, name, &nameLength, nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
        EXPECT_EQ(std::string(name, nameLength), c.same ? c.written : c.asked);
        nameLength = sizeof name;
        EXPECT_EQ(RegEnumValueA(key, 1, name, &nameLength, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
        EXPECT_EQ(RegDeleteValueA(key, c.written), found);
        EXPECT_EQ(read(key, c.asked, type, data), found == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS);
        RegCloseKey(key);

        HKEY parentKey = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, parent.c_str(), 0, KEY_READ, &parentKey), ERROR_SUCCESS);
        std::set<std::string> subkeys;
        nameLength = sizeof name;
        while (RegEnumKeyExA(parentKey, static_cast<DWORD>(subkeys.size()), name, &nameLength, nullptr, nullptr,
                             nullptr, nullptr)
               == ERROR_SUCCESS) {
            subkeys.emplace(name, nameLength);
            nameLength = sizeof name;
        }
        RegCloseKey(parentKey);
        const std::set<std::string> expected = c.same ? std::set<std::string>{c.written}
                                                      : std::set<std::string>{c.written, c.asked};
        EXPECT_EQ(subkeys, expected);
        EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, asked.c_str()), ERROR_SUCCESS);
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, written.c_str(), 0, KEY_READ, &key),
                  c.same ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS);
        if (!c.same)
            RegCloseKey(key);
    }
}

TEST_F(RegistryTest, CreatingMakesEveryMissingLevelAndSaysWhetherItDid)
{
    DWORD disposition = 0;
    HKEY key = create("A\\B\\C", KEY_ALL_ACCESS, &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    RegCloseKey(key);
    key = create("a\\b\\c", KEY_ALL_ACCESS, &disposition);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    RegCloseKey(key);
    key = create("A\\B\\C\\D", KEY_ALL_ACCESS, &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    RegCloseKey(key);

    for (const char* path : {"A", "A\\B", "A\\B\\C\\D", "A\\B\\C\\D\\"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key), ERROR_SUCCESS);
        RegCloseKey(key);
    }

    // A creation that fails at its last level leaves none of the levels it made before.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(hiveFile().c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db,
                           "CREATE TRIGGER refuse BEFORE INSERT ON keys WHEN NEW.name = 'refused' "
                           "BEGIN SELECT RAISE(ABORT, 'refused'); END",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    key = nullptr;
    EXPECT_NE(RegCreateKeyExA(HKEY_CURRENT_USER, "X\\Y\\refused", 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "X", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, QueryReportsTheSizeNeededWhenTheBufferIsShort)
{
    HKEY key = create("Software\\Sizes");
    const Bytes value = bytesOf(std::string_view("localhost", 10));
    set(key, "wPath", REG_SZ, value);

    DWORD type = 0;
    DWORD size = 0;
    ASSERT_EQ(RegQueryValueExA(key, "wPath", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 10u);

    Bytes buffer(4, 0xAA);
    size = 4;
    ASSERT_EQ(RegQueryValueExA(key, "wPath", nullptr, &type, buffer.data(), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(buffer, Bytes(4, 0xAA)) << "a short buffer is left alone";

    buffer.assign(16, 0xAA);
    size = 16;
    ASSERT_EQ(RegQueryValueExA(key, "wPath", nullptr, nullptr, buffer.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 10), value);
    EXPECT_EQ(RegQueryValueExA(key, "wPath", nullptr, nullptr, buffer.data(), nullptr), ERROR_INVALID_PARAMETER);

    // Enumeration reports both sizes needed, then succeeds with them.
    char name[8];
    DWORD nameLength = 3;
    size = 4;
    ASSERT_EQ(RegEnumValueA(key, 0, name, &nameLength, nullptr, &type, buffer.data(), &size), ERROR_MORE_DATA);
    EXPECT_EQ(nameLength, 6u);
    EXPECT_EQ(size, 10u);
    ASSERT_EQ(RegEnumValueA(key, 0, name, &nameLength, nullptr, &type, buffer.data(), &size), ERROR_SUCCESS);
    EXPECT_STREQ(name, "wPath");
    EXPECT_EQ(nameLength, 5u);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + size), value);
    RegCloseKey(key);
}

TEST_F(RegistryTest, MissingKeysValuesAndHandlesFailWithTheirCodes)
{
    HKEY key = reinterpret_cast<HKEY>(0x1);
    // No hive at all: reading finds nothing and creates nothing.
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Dorvane Pro", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Dorvane Pro", 0, KEY_ALL_ACCESS, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(HKEY_CURRENT_USER, "x", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(HKEY_CURRENT_USER, "x"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software"), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(fs::exists(folder()));

    key = create("Software\\Dorvane Pro");
    HKEY missing = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Dorvane Pro\\Settings", 0, KEY_ALL_ACCESS, &missing),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key, "wPath", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(key, "wPath"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\\\Dorvane Pro", 0, KEY_READ, &missing),
              ERROR_INVALID_PARAMETER);
    RegCloseKey(key);

    HKEY closed = create("Software\\Dorvane Pro");
    ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    // A value is never given out again: the stale handle finds nothing, not a key opened since.
    std::set<HKEY> given{closed};
    HKEY openedSince = nullptr;
    for (int i = 0; i < 16; ++i) {
        if (openedSince != nullptr)
            RegCloseKey(openedSince);
        openedSince = create("Software\\Dorvane Pro");
        EXPECT_TRUE(given.insert(openedSince).second) << "handle value given out twice";
    }
    HKEY madeUp = reinterpret_cast<HKEY>(static_cast<std::intptr_t>(0x1234));
    for (HKEY bad : {closed, madeUp}) {
        const Bytes data{1};
        EXPECT_EQ(RegCloseKey(bad), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegQueryValueExA(bad, "x", nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegSetValueExA(bad, "x", 0, REG_BINARY, data.data(), 1), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegOpenKeyExA(bad, "", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(RegCloseKey(openedSince), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, AHandleAllowsOnlyTheAccessItWasOpenedWith)
{
    RegCloseKey(create("Software\\Rights"));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Rights", 0, KEY_READ, &key), ERROR_SUCCESS);
    const Bytes data{1, 2};
    EXPECT_EQ(RegSetValueExA(key, "x", 0, REG_BINARY, data.data(), 2), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(key, "x"), ERROR_ACCESS_DENIED);
    HKEY child = nullptr;
    EXPECT_EQ(RegCreateKeyExA(key, "Child", 0, nullptr, 0, KEY_READ, nullptr, &child, nullptr), ERROR_ACCESS_DENIED);
    RegCloseKey(key);
}

TEST_F(RegistryTest, OnlyKeysWithoutSubkeysCanBeDeleted)
{
    HKEY leaf = create("Software\\Parent\\Leaf");
    set(leaf, "v", REG_DWORD, Bytes{1, 0, 0, 0});
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Parent"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "software\\parent\\leaf"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Parent\\Leaf"), ERROR_FILE_NOT_FOUND);

    // A handle outliving its key fails instead of reaching a stranger's values.
    DWORD type = 0;
    Bytes data;
    EXPECT_EQ(read(leaf, "v", type, data), ERROR_KEY_DELETED);
    EXPECT_EQ(RegSetValueExA(leaf, "v", 0, REG_DWORD, data.data(), 0), ERROR_KEY_DELETED);
    RegCloseKey(leaf);
    leaf = create("Software\\Parent\\Leaf");
    EXPECT_EQ(read(leaf, "v", type, data), ERROR_FILE_NOT_FOUND) << "a new key starts without values";
    RegCloseKey(leaf);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED) << "the root stays";
}

TEST_F(RegistryTest, TheHiveFileIsPrivateToItsUser)
{
    const mode_t previous = umask(0);
    RegCloseKey(create("Software\\Private"));
    umask(previous);
    struct stat st {};
    ASSERT_EQ(stat(hiveFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(folder().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(folder().parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << "a config folder made for the hive is private too";
    // Nothing but the hive is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder()), fs::directory_iterator()), 1);
}

std::string sqliteFile(const fs::path& where, const char* sql)
{
    const fs::path path = where / "other.db";
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    sqlite3_close(db);
    std::string content = readFile(path);
    fs::remove(path);
    return content;
}

TEST_F(RegistryTest, AFileThatIsNotAHiveFailsEveryCallAndStaysAsItWas)
{
    fs::create_directories(folder());
    struct Case {
        const char* tag;
        std::string content;
    };
    std::string garbage(5000, '\0');
    for (size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<char>((i * 131 + 7) & 0xFF);
    const Case cases[] = {
        {"garbage", garbage},
        {"empty file", ""},
        {"text", "wPath=localhost\n"},
        {"database of another program",
         sqliteFile(m_root, "CREATE TABLE notes(text TEXT); INSERT INTO notes VALUES('mine');")},
        {"hive of a later layout",
         sqliteFile(m_root, "PRAGMA application_id = 1146246728; PRAGMA user_version = 3;"
                            "CREATE TABLE keys(id INTEGER PRIMARY KEY, parent INTEGER, name TEXT);"
                            "INSERT INTO keys VALUES(1, NULL, '');")},
        {"hive without its values table",
         sqliteFile(m_root, "PRAGMA application_id = 1146246728; PRAGMA user_version = 1;"
                            "CREATE TABLE keys(id INTEGER PRIMARY KEY, parent INTEGER, name TEXT);"
                            "INSERT INTO keys VALUES(1, NULL, '');")},
    };
    for (const auto& notAHive : cases) {
        SCOPED_TRACE(notAHive.tag);
        writeFile(hiveFile(), notAHive.content);
        HKEY key = nullptr;
        const Bytes data{1};
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "", 0, KEY_READ, &key), ERROR_BADDB);
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_ALL_ACCESS, &key), ERROR_BADDB);
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_BADDB);
        EXPECT_EQ(RegSetValueExA(HKEY_CURRENT_USER, "x", 0, REG_BINARY, data.data(), 1), ERROR_BADDB);
        EXPECT_EQ(readFile(hiveFile()), notAHive.content);
        EXPECT_EQ(std::distance(fs::directory_iterator(folder()), fs::directory_iterator()), 1);
    }
}

TEST_F(RegistryTest, AHiveDamagedInsideIsNotWrittenTo)
{
    HKEY key = create("Software\\Damaged");
    for (int i = 0; i < 8; ++i)
        set(key, ("value" + std::to_string(i)).c_str(), REG_BINARY, Bytes(3000, static_cast<BYTE>(i)));
    RegCloseKey(key);
    std::string content = readFile(hiveFile());
    ASSERT_GT(content.size(), 3 * 4096u);
    for (size_t i = 2 * 4096; i < 3 * 4096; ++i) // the third page, past the header
        content[i] = static_cast<char>(0xA5);
    writeFile(hiveFile(), content);

    const Bytes data{1};
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\More", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_BADDB);
    EXPECT_EQ(RegSetValueExA(HKEY_CURRENT_USER, "x", 0, REG_BINARY, data.data(), 1), ERROR_BADDB);
    EXPECT_EQ(readFile(hiveFile()), content);
}

TEST_F(RegistryTest, AWriteProtectedHiveRefusesWriteAccessAndStillReads)
{
    struct Case {
        const char* tag;
        bool protectFile;
    };
    for (const Case& protection : {Case{"file 0400", true}, Case{"folder 0500", false}}) {
        SCOPED_TRACE(protection.tag);
        HKEY key = create("Software\\Dorvane Pro");
        set(key, "wPath", REG_SZ, bytesOf(std::string_view("host", 5)));
        RegCloseKey(key);
        const fs::path target = protection.protectFile ? hiveFile() : folder();
        fs::permissions(target, protection.protectFile ? fs::perms::owner_read : fs::perms::owner_read | fs::perms::owner_exec);
        const std::string before = readFile(hiveFile());

        const Bytes data{1};
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Dorvane Pro", 0, KEY_ALL_ACCESS, &key),
                  ERROR_ACCESS_DENIED);
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Dorvane Pro", 0, KEY_SET_VALUE, &key),
                  ERROR_ACCESS_DENIED);
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Dorvane Pro\\Settings", 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_ACCESS_DENIED);
        EXPECT_EQ(RegSetValueExA(HKEY_CURRENT_USER, "x", 0, REG_BINARY, data.data(), 1), ERROR_ACCESS_DENIED);
        EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Dorvane Pro"), ERROR_ACCESS_DENIED);

        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Dorvane Pro", 0, KEY_READ, &key), ERROR_SUCCESS);
        DWORD type = 0;
        Bytes value;
        EXPECT_EQ(read(key, "wPath", type, value), ERROR_SUCCESS);
        EXPECT_EQ(value, bytesOf(std::string_view("host", 5)));
        RegCloseKey(key);
        EXPECT_EQ(readFile(hiveFile()), before);

        fs::permissions(target, fs::perms::owner_all, fs::perm_options::add);
        fs::remove(hiveFile());
    }
}

TEST_F(RegistryTest, AConfigFolderWithoutWritePermissionRefusesToCreateTheHive)
{
    fs::create_directories(folder().parent_path());
    fs::permissions(folder().parent_path(), fs::perms::owner_read | fs::perms::owner_exec);
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, TheHiveFollowsTheConfigFolderChosenAtEachOpen)
{
    RegCloseKey(create("Software\\First"));
    const fs::path other = m_root / "other";
    ASSERT_EQ(setenv("XDG_CONFIG_HOME", other.c_str(), 1), 0);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\First", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    RegCloseKey(create("Software\\Second"));
    EXPECT_TRUE(fs::exists(other / "dorvane" / "registry.db"));

    // Unset or relative: the hive lives under $HOME/.config.
    const char* home = std::getenv("HOME");
    const std::string savedHome = home != nullptr ? home : "";
    ASSERT_EQ(setenv("HOME", (m_root / "home").c_str(), 1), 0);
    ASSERT_EQ(setenv("XDG_CONFIG_HOME", "relative/path", 1), 0);
    RegCloseKey(create("Software\\Third"));
    EXPECT_TRUE(fs::exists(m_root / "home" / ".config" / "dorvane" / "registry.db"));
    if (home != nullptr)
        setenv("HOME", savedHome.c_str(), 1);
    else
        unsetenv("HOME");
}

TEST_F(RegistryTest, ThreadsWritingThroughTheirOwnHandlesAllLand)
{
    constexpr int kThreads = 4;
    constexpr int kWrites = 10;
    std::atomic<int> failures = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            HKEY key = nullptr;
            if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Threads", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                nullptr)
                != ERROR_SUCCESS) {
                ++failures;
                return;
            }
            for (int i = 0; i < kWrites; ++i) {
                const std::string name = "t" + std::to_string(t) + "-" + std::to_string(i);
                const DWORD value = static_cast<DWORD>(i);
                if (RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4)
                    != ERROR_SUCCESS)
                    ++failures;
            }
            RegCloseKey(key);
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, 0);

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Threads", 0, KEY_READ, &key), ERROR_SUCCESS);
    int count = 0;
    char name[32];
    DWORD length = sizeof name;
    while (RegEnumValueA(key, static_cast<DWORD>(count), name, &length, nullptr, nullptr, nullptr, nullptr)
           == ERROR_SUCCESS) {
        ++count;
        length = sizeof name;
    }
    EXPECT_EQ(count, kThreads * kWrites);
    RegCloseKey(key);
}

// A creator killed while it built the hive leaves its new file (and journal) behind; the next
// use removes them, but never the file of a creator that still runs (it holds a lock on it), nor
// any file that merely looks alike.
TEST_F(RegistryTest, LeftoversOfADeadCreatorGoAtTheNextUseAndALiveCreatorsStay)
{
    RegCloseKey(create("Software\\First"));
    struct Case {
        const char* name;
        bool locked;   // its creator still runs
        bool removed;
    };
    const Case cases[] = {
        {"registry.db.new-a1B2c3", false, true},
        {"registry.db.new-a1B2c3-journal", false, true},
        {"registry.db.new-Zz9Zz9-journal", false, true}, // its hive file is gone already
        {"registry.db.new-LiVe01", true, false},
        {"registry.db.new-LiVe01-journal", false, false}, // the live creator's journal
        {"registry.db.new-notes.txt", false, false},
        {"registry.db.new-abc", false, false},
        {"other.db.new-a1B2c3", false, false},
    };
    std::vector<int> locks;
    for (const Case& c : cases) {
        writeFile(folder() / c.name, "half-made");
        if (c.locked) {
            const int fd = ::open((folder() / c.name).c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_EQ(flock(fd, LOCK_EX), 0);
            locks.push_back(fd);
        }
    }
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\First", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    for (const Case& c : cases)
        EXPECT_EQ(fs::exists(folder() / c.name), !c.removed) << c.name;

    for (const int fd : locks)
        close(fd); // the creator is gone now
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\First", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_FALSE(fs::exists(folder() / "registry.db.new-LiVe01"));
    EXPECT_FALSE(fs::exists(folder() / "registry.db.new-LiVe01-journal"));
}

// --- a hive written by release 1.0.0 ---------------------------------------------------------

// The fixture was written with release 1.0.0's dorvane-reg (ASCII-only case folding), so it holds
// two keys and two values whose names only now compare equal:
//   add "HKCU\Software\Dorvane Pro" /v wPath /d 127.0.0.1:8080
//   add "HKCU\Software\Dorvane Pro\Settings" /v UserName /d José; ... /v PassWord /d $'\xe1\xe2\xe3'
//   add "HKCU\Software\Mixed" /v Name /d ascii
//   add "HKCU\Software\Ünï" /v zeta /d z; /v Ärger /d first; /v ärger /d second; /v alpha /d a
//   add "HKCU\Software\ünï" /v Äpfel /d lower-key
//   add "HKCU\Software\Gone\Deeper" /v x /d 1; delete "HKCU\Software\Gone" /f
const fs::path kFirstReleaseHive = DORVANE_FIRST_RELEASE_HIVE;

struct Listed {
    std::string name;
    std::string data;
    bool operator==(const Listed&) const = default;
};

std::vector<Listed> valuesOf(const char* path)
{
    std::vector<Listed> values;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return values;
    char name[64];
    BYTE data[64];
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = sizeof name;
        DWORD size = sizeof data;
        if (RegEnumValueA(key, index, name, &nameLength, nullptr, nullptr, data, &size) != ERROR_SUCCESS)
            break;
        values.push_back({std::string(name, nameLength), std::string(reinterpret_cast<char*>(data), size)});
    }
    RegCloseKey(key);
    return values;
}

std::vector<std::string> subkeysOf(const char* path)
{
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return names;
    char name[64];
    DWORD length = sizeof name;
    while (RegEnumKeyExA(key, static_cast<DWORD>(names.size()), name, &length, nullptr, nullptr, nullptr, nullptr)
           == ERROR_SUCCESS) {
        names.emplace_back(name, length);
        length = sizeof name;
    }
    RegCloseKey(key);
    return names;
}

// Everything the first release wrote, read under the names it was written with and under others.
void expectFirstReleaseContent()
{
    using namespace std::string_literals;
    EXPECT_EQ(subkeysOf("Software"), (std::vector<std::string>{"Dorvane Pro", "Mixed", "Ünï", "ünï"}));
    EXPECT_EQ(valuesOf("SOFTWARE\\DORVANE PRO"), (std::vector<Listed>{{"wPath", "127.0.0.1:8080\0"s}}));
    EXPECT_EQ(valuesOf("Software\\Dorvane Pro\\Settings"),
              (std::vector<Listed>{{"UserName", "José\0"s}, {"PassWord", "\xE1\xE2\xE3\0"s}}));
    EXPECT_EQ(valuesOf("software\\mixed"), (std::vector<Listed>{{"Name", "ascii\0"s}}));
    // The first of two names that now compare equal is the one a name finds; both are listed.
    EXPECT_EQ(valuesOf("Software\\ÜNÏ"), (std::vector<Listed>{{"zeta", "z\0"s}, {"Ärger", "first\0"s},
                                                             {"ärger", "second\0"s}, {"alpha", "a\0"s}}));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\ünï", 0, KEY_READ, &key), ERROR_SUCCESS);
    BYTE data[16];
    DWORD size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key, "ÄRGER", nullptr, nullptr, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), "first\0"s);
    RegCloseKey(key);
}

TEST_F(RegistryTest, AHiveOfTheFirstReleaseIsUpgradedWhenOpenedAndLosesNothing)
{
    fs::create_directories(folder());
    fs::copy_file(kFirstReleaseHive, hiveFile());
    fs::permissions(hiveFile(), fs::perms::owner_read | fs::perms::owner_write);
    expectFirstReleaseContent();
    EXPECT_EQ(sqlAnswer(hiveFile(), "PRAGMA user_version"), "2");
    EXPECT_EQ(sqlAnswer(hiveFile(), "PRAGMA integrity_check"), "ok");
    expectFirstReleaseContent(); // and again, from the upgraded file

    // Deleting the first of two equal names uncovers the second.
    HKEY key = create("Software\\Ünï");
    EXPECT_EQ(RegDeleteValueA(key, "ärger"), ERROR_SUCCESS);
    DWORD type = 0;
    Bytes data;
    EXPECT_EQ(read(key, "ÄRGER", type, data), ERROR_SUCCESS);
    EXPECT_EQ(data, bytesOf(std::string_view("second", 7)));
    RegCloseKey(key);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\ÜNÏ"), ERROR_SUCCESS);
    EXPECT_EQ(valuesOf("Software\\ÜNÏ"), (std::vector<Listed>{{"Äpfel", std::string("lower-key", 10)}}));
    // Ids of keys deleted before the upgrade are not given out again.
    RegCloseKey(create("Software\\New"));
    EXPECT_EQ(sqlAnswer(hiveFile(), "SELECT max(id) FROM keys"), "10");
}

TEST_F(RegistryTest, AWriteProtectedHiveOfTheFirstReleaseReadsUpgradedAndStaysAsItWas)
{
    fs::create_directories(folder());
    fs::copy_file(kFirstReleaseHive, hiveFile());
    fs::permissions(hiveFile(), fs::perms::owner_read);
    const std::string before = readFile(hiveFile());
    expectFirstReleaseContent();
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(readFile(hiveFile()), before);
}

// Each statement of an open that upgrades fails in turn: the file is then exactly as the first
// release left it (or upgraded whole, when the statement came after the upgrade), the failure
// names the hive once with a cause (never "not an error"), and the next open finds everything.
TEST_F(RegistryTest, AnUpgradeThatFailsAtAnyStatementLeavesTheFileAsItWasAndSaysWhy)
{
#ifndef DORVANE_FAULT_INJECTION
    GTEST_SKIP() << "needs a build with DORVANE_FAULT_INJECTION";
#else
    namespace fault = platform::fault;
    fs::create_directories(folder());
    const std::string original = readFile(kFirstReleaseHive);
    const auto reset = [&] {
        fs::remove(hiveFile());
        fs::copy_file(kFirstReleaseHive, hiveFile());
    };
    reset();
    HKEY key = nullptr;
    fault::Arm(fault::Kind::SqliteStep, 0);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_SUCCESS);
    const long statements = fault::Calls(fault::Kind::SqliteStep);
    fault::Disarm();
    RegCloseKey(key);
    ASSERT_GT(statements, 10);
    for (long n = 1; n <= statements; ++n) {
        SCOPED_TRACE("statement " + std::to_string(n) + " of " + std::to_string(statements) + " failing");
        reset();
        fault::Arm(fault::Kind::SqliteStep, n);
        const LONG rc = RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key);
        const std::string said = RegGetLastFailureText();
        fault::Disarm();
        if (rc == ERROR_SUCCESS) {
            RegCloseKey(key);
            ADD_FAILURE() << "the failing statement went unnoticed";
            continue;
        }
        // Statements after the upgrade's commit (the key's lookup) find the file upgraded whole.
        const bool untouched = readFile(hiveFile()) == original;
        EXPECT_TRUE(untouched || sqlAnswer(hiveFile(), "PRAGMA user_version") == "2") << "half upgraded";
        const std::string path = hiveFile().string();
        ASSERT_NE(said.find(path), std::string::npos) << said;
        EXPECT_EQ(said.find(path, said.find(path) + 1), std::string::npos) << said;
        EXPECT_EQ(said.find("not an error"), std::string::npos) << said;
        expectFirstReleaseContent();
    }
#endif
}

} // namespace
