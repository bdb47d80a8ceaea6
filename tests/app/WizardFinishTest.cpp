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

TEST_F(WizardFinish, ClosesEvenWhenTheApplicationCantBeStarted)
{
    ScopedPath path(programs.path());  // an empty folder first, and nothing named so elsewhere
    ClickIndicator(window.CheckBox1);
    ClickButton(window.Button9);
    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(errors.messages.isEmpty());
}

}  // namespace
