// The service location read and the credentials written, against a hive of the test's own.
#include <gtest/gtest.h>

#include "AnsiText.h"
#include "StoredSettings.h"
#include "WizardTestSupport.h"
#include "winreg.h"

namespace {

struct LocationCase {
    const char* tag;
    bool keyPresent;
    std::optional<unsigned> type;  // wPath's type, nothing when the value is absent
    std::string data;
    const char* expectedURL;       // nullptr: the read fails
};

const LocationCase kLocationCases[] = {
    {"no key", false, std::nullopt, "", ""},
    {"key without value", true, std::nullopt, "", "http:///wizard_files/"},
    {"host", true, REG_SZ, "files.dorvane.test", "http://files.dorvane.test/wizard_files/"},
    {"host with port and prefix", true, REG_SZ, "127.0.0.1:8080/svc", "http://127.0.0.1:8080/svc/wizard_files/"},
    {"expandable string", true, REG_EXPAND_SZ, "files.dorvane.test", "http://files.dorvane.test/wizard_files/"},
    {"text ends at its first NUL", true, REG_SZ, std::string("host\0junk", 9), "http://host/wizard_files/"},
    {"a number", true, REG_DWORD, std::string("\x50\x00\x00\x00", 4), nullptr},
    {"bytes", true, REG_BINARY, "host", nullptr},
};

TEST(ServiceLocation, ReadsWPathIntoTheWizardScriptsURL)
{
    for (const LocationCase& row : kLocationCases) {
        SCOPED_TRACE(row.tag);
        ScopedHive hive;
        if (row.keyPresent && !row.type)
            WriteStoredValue(kServiceKey, "Other", REG_SZ, StoredString("x"));
        if (row.type)
            WriteStoredValue(kServiceKey, "wPath", *row.type, row.type == REG_DWORD ? row.data : row.data + '\0');
        if (row.expectedURL != nullptr) {
            EXPECT_EQ(ReadWizardURL(), row.expectedURL);
        } else {
            try {
                static_cast<void>(ReadWizardURL());
                ADD_FAILURE() << "no error";
            } catch (const ESettingsError& error) {
                EXPECT_STREQ(error.what(), "Invalid data type for 'wPath'");
            }
        }
    }
}

TEST(SaveCredentials, StoresTheLoginAndTheScrambledPasswordAsStrings)
{
    ScopedHive hive;
    SaveCredentials("alice", "abc");
    EXPECT_EQ(ReadStoredValue(kSettingsKey, "UserName")->bytes, StoredString("alice"));
    const auto password = ReadStoredValue(kSettingsKey, "PassWord");
    EXPECT_EQ(password->type, REG_SZ);
    EXPECT_EQ(password->bytes, StoredString("\xE1\xE2\xE3"));

    SaveCredentials(" bob ", "\xC3\xA9t\xC3\xA9");  // stored as passed; high bytes lose their top bit
    EXPECT_EQ(ReadStoredValue(kSettingsKey, "UserName")->bytes, StoredString(" bob "));
    EXPECT_EQ(ReadStoredValue(kSettingsKey, "PassWord")->bytes, StoredString("\x43\x29\xF4\x43\x29"));

    SaveCredentials("carol", "");
    EXPECT_EQ(ReadStoredValue(kSettingsKey, "PassWord")->bytes, StoredString(""));
}

TEST(SaveCredentials, RefusesAPasswordWithAByteThatWouldScrambleToNul)
{
    ScopedHive hive;
    try {
        SaveCredentials("alice", "a\x80z");
        ADD_FAILURE() << "no error";
    } catch (const ESettingsError& error) {
        EXPECT_EQ(error.what(), std::string(kUnstorablePasswordMessage));
    }
    EXPECT_FALSE(ReadStoredValue(kSettingsKey, "UserName"));
}

TEST(SaveCredentials, AKeyThatCantBeCreatedOrReadIsAnErrorNamingIt)
{
    {
        SCOPED_TRACE("reading the location from a damaged hive");
        ScopedHive hive;
        ASSERT_TRUE(QDir(hive.folder()).mkpath("dorvane"));
        QFile garbage(hive.folder() + "/dorvane/registry.db");
        ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
        garbage.write(QByteArray(5000, '\x5a'));
        garbage.close();
        try {
            static_cast<void>(ReadWizardURL());
            ADD_FAILURE() << "no error";
        } catch (const ESettingsError& error) {
            EXPECT_NE(std::string(error.what()).find("could not be read from 'HKEY_CURRENT_USER\\Software\\Dorvane Pro'"),
                      std::string::npos) << error.what();
        }
    }
    ScopedHive hive;
    QFile blocker(hive.folder() + "/file");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    setenv("XDG_CONFIG_HOME", blocker.fileName().toLocal8Bit().constData(), 1);
    try {
        SaveCredentials("alice", "abc");
        ADD_FAILURE() << "no error";
    } catch (const ESettingsError& error) {
        EXPECT_NE(std::string(error.what()).find("Software\\Dorvane Pro\\Settings"), std::string::npos) << error.what();
    }
}

TEST(ScramblePassword, FlipsTheTopBitAndIsItsOwnInverse)
{
    std::string every;
    for (int byte = 0; byte < 256; ++byte)
        every += static_cast<char>(byte);
    const std::string scrambled = ScramblePassword(every);
    ASSERT_EQ(scrambled.size(), 256u);
    for (int byte = 0; byte < 256; ++byte)
        EXPECT_EQ(static_cast<unsigned char>(scrambled[byte]), (byte + 128) % 256);
    EXPECT_EQ(ScramblePassword(scrambled), every);
}

TEST(AnsiText, TrimsBytesUpToSpaceOnBothEndsOnly)
{
    EXPECT_EQ(TrimBlanks(" \t\r\n a b \x01\x1f"), "a b");
    EXPECT_EQ(TrimBlanks("    "), "");
    EXPECT_EQ(TrimBlanks(""), "");
    EXPECT_EQ(TrimBlanks("\xC2\xA0x\xC2\xA0"), "\xC2\xA0x\xC2\xA0");  // bytes above 0x20 stay
    EXPECT_EQ(ToAnsi(QString::fromUtf8("\u00e9")), "\xC3\xA9");
    EXPECT_EQ(FromAnsi("\xC3\xA9"), QString::fromUtf8("\u00e9"));
}

}  // namespace
