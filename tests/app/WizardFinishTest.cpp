// Finish starts the desktop application when asked to, and leaves whether or not it started.
#include <QDir>
#include <QFile>
#include <QTest>
#include <cstdlib>
#include <gtest/gtest.h>

#include "WizardTestSupport.h"

namespace {

// Puts a folder at the front of PATH for the test's lifetime.
class ScopedPath {
public:
    explicit ScopedPath(const QString& folder)
        : m_previous(qgetenv("PATH"))
    {
        qputenv("PATH", folder.toLocal8Bit() + ':' + m_previous);
    }
    ~ScopedPath() { qputenv("PATH", m_previous); }
    ScopedPath(const ScopedPath&) = delete;
    ScopedPath& operator=(const ScopedPath&) = delete;

private:
    QByteArray m_previous;
};

// A stand-in "Dorvane.exe" that leaves a marker file when it runs.
QString WriteStandIn(const QString& folder, const QString& marker)
{
    const QString path = folder + "/Dorvane.exe";
    QFile script(path);
    EXPECT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\necho started > '" + marker.toLocal8Bit() + "'\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

class WizardFinish : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(programs.isValid());
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        window.ShowPage("Thanks");
    }

    ScopedHive hive;
    ErrorCapture errors;
    QTemporaryDir programs;
    TForm1 window;
};

TEST_F(WizardFinish, StartsTheApplicationFoundOnPathWhenAskedAndCloses)
{
    const QString marker = programs.path() + "/started";
    WriteStandIn(programs.path(), marker);
    ScopedPath path(programs.path());

    ClickIndicator(window.CheckBox1);
    ASSERT_TRUE(window.CheckBox1->isChecked());
    ClickButton(window.Button9);

    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(QTest::qWaitFor([&] { return QFile::exists(marker); }, 10000));
}

TEST_F(WizardFinish, LeavesWhenNotAskedToStartAnything)
{

    ClickButton(window.Button9);

    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(errors.messages.isEmpty());
}

// Whatever stands where the application should be, the user is told what could not be started
// and why, and the window closes.
TEST_F(WizardFinish, SaysWhyTheApplicationCantBeStartedAndCloses)
{
    enum class Stand { Nothing, NotExecutable, Folder, BrokenBinary, ScriptWithoutInterpreterLine };
    struct Case {
        const char* tag;
        Stand stand;
        const char* reason;
    };
    const Case cases[] = {
        {"nothing", Stand::Nothing, "The system cannot find the file specified."},
        // The search for a program passes over what can't be run, as the shell's does.
        {"not executable", Stand::NotExecutable, "The system cannot find the file specified."},
        {"a folder", Stand::Folder, "The system cannot find the file specified."},
        {"a broken binary", Stand::BrokenBinary, "An attempt was made to load a program with an incorrect format."},
        {"a script without #!", Stand::ScriptWithoutInterpreterLine,
         "An attempt was made to load a program with an incorrect format."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        QTemporaryDir folder;
        ScopedPath path(folder.path());  // first, and nothing named so elsewhere
        const QString standIn = folder.path() + "/Dorvane.exe";
        QFile file(standIn);
        if (c.stand == Stand::Folder)
            ASSERT_TRUE(QDir().mkdir(standIn));
        else if (c.stand != Stand::Nothing) {
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(c.stand == Stand::BrokenBinary ? QByteArray("\x7f" "ELF\x02\x01\x01garbage")
                                                      : QByteArray("echo started\n"));
            file.close();
            file.setPermissions(c.stand == Stand::NotExecutable ? QFile::ReadOwner | QFile::WriteOwner
                                                                : QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        TForm1 finishing;
        finishing.show();
        finishing.ShowPage("Thanks");
        ClickIndicator(finishing.CheckBox1);
        ClickButton(finishing.Button9);

        EXPECT_FALSE(finishing.isVisible());
        ASSERT_EQ(errors.messages.size(), 1);
        EXPECT_EQ(errors.messages.front().toStdString(),
                  std::string("The Dorvane application (Dorvane.exe) could not be started: ") + c.reason);
        errors.messages.clear();
    }
}

}  // namespace
