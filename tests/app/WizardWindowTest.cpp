// The wizard window driven as a user would: real clicks and key events (offscreen).
#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QApplication>
#include <QStyleHints>
#include <QCheckBox>
#include <QFile>
#include <QFontInfo>
#include <QFontMetrics>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QStyle>
#include <QTest>
#include <gtest/gtest.h>
#include <algorithm>
#include <functional>
#include <memory>

#include "StoredSettings.h"
#include "WizardTestSupport.h"
#include "winreg.h"

namespace {

class WizardWindow : public ::testing::Test {
protected:
    void SetUp() override { OpenWindow(); }

    void OpenWindow()
    {
        window = std::make_unique<TForm1>();
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    void GoToExist()
    {
        ClickIndicator(window->existChk);
        ClickButton(window->NextBtn);
        ASSERT_EQ(window->ActivePage(), "Exist");
    }

    void GoToNew()
    {
        ClickButton(window->NextBtn);
        ASSERT_EQ(window->ActivePage(), "New");
    }

    ScopedHive hive;
    ErrorCapture errors;
    std::unique_ptr<TForm1> window;
};

template <typename T>
T* Control(TForm1& window, const char* name)
{
    return window.findChild<T*>(QString::fromLatin1(name));
}

// --- layout ---------------------------------------------------------------------------------

struct Placement {
    const char* page;
    const char* name;
    const char* kind;
    QRect geometry;
    const char* text;
};

const Placement kPlacements[] = {
    {"Default", "newChk", "QRadioButton", {24, 80, 209, 17}, "I am a new user. Please sign me up."},
    {"Default", "existChk", "QRadioButton", {24, 104, 233, 17}, "I already have an account at dorvane.com."},
    {"Default", "NextBtn", "QPushButton", {224, 220, 75, 25}, "Next >>"},
    {"Default", "Button2", "QPushButton", {144, 220, 75, 25}, "Cancel"},
    {"Default", "Bevel2", "QFrame", {20, 209, 280, 2}, nullptr},
    {"New", "Label7", "QLabel", {24, 15, 78, 13}, "Please wait..."},
    {"New", "Label1", "QLabel", {24, 49, 25, 13}, "Email"},
    {"New", "txt_Email", "QLineEdit", {24, 63, 121, 21}, ""},
    {"New", "Label2", "QLabel", {24, 97, 26, 13}, "Login"},
    {"New", "txt_Login", "QLineEdit", {24, 111, 121, 21}, ""},
    {"New", "Label3", "QLabel", {24, 145, 46, 13}, "Password"},
    {"New", "txt_pwd", "QLineEdit", {24, 159, 121, 21}, ""},
    {"New", "CreateBtn", "QPushButton", {224, 220, 75, 25}, "Create"},
    {"New", "Button5", "QPushButton", {144, 220, 75, 25}, "Cancel"},
    {"New", "BackBtn", "QPushButton", {64, 220, 75, 25}, "<< Back"},
    {"New", "Bevel1", "QFrame", {20, 209, 280, 2}, nullptr},
    {"Exist", "Label4", "QLabel", {24, 73, 26, 13}, "Login"},
    {"Exist", "txt_extLogin", "QLineEdit", {24, 87, 121, 21}, ""},
    {"Exist", "Label6", "QLabel", {24, 121, 46, 13}, "Password"},
    {"Exist", "txt_extPwd", "QLineEdit", {24, 135, 121, 21}, ""},
    {"Exist", "SignBtn", "QPushButton", {224, 220, 75, 25}, "Sign In"},
    {"Exist", "Button7", "QPushButton", {144, 220, 75, 25}, "Cancel"},
    {"Exist", "SBackBtn", "QPushButton", {64, 220, 75, 25}, "<< Back"},
    {"Exist", "Bevel3", "QFrame", {20, 209, 280, 2}, nullptr},
    {"Thanks", "Label5", "QLabel", {24, 32, 225, 16}, "Thank You for choosing Dorvane!"},
    {"Thanks", "Label9", "QLabel", {24, 59, 205, 52},
     "Your account has been created. Please CONNECT to your Dorvane from application and then you can upload "
     "your files in your Dorvane."},
    {"Thanks", "CheckBox1", "QCheckBox", {24, 128, 185, 17}, "Launch Dorvane application"},
    {"Thanks", "Button9", "QPushButton", {224, 220, 75, 25}, "Finish"},
    {"Thanks", "Bevel4", "QFrame", {20, 209, 280, 2}, nullptr},
};

QString TextOf(QWidget* control)
{
    if (auto* label = qobject_cast<QLabel*>(control))
        return label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(control))
        return button->text();
    if (auto* edit = qobject_cast<QLineEdit*>(control))
        return edit->text();
    return {};
}

TEST_F(WizardWindow, IsAFixedSizeDialogWithItsCaptionIconAndFourNamedPages)
{
    EXPECT_EQ(window->objectName(), "Form1");
    EXPECT_EQ(window->windowTitle(), "Dorvane Account Setup");
    EXPECT_EQ(window->size(), QSize(434, 254));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(window->windowIcon().availableSizes().value(0), QSize(32, 32));

    EXPECT_EQ(window->Image1->geometry().topLeft(), QPoint(0, 0));
    ASSERT_FALSE(window->Image1->pixmap().isNull());
    EXPECT_EQ(window->Image1->pixmap().size(), QSize(118, 253));
    EXPECT_EQ(window->Notebook1->geometry(), QRect(118, 0, 316, 254));

    QStringList pages;
    for (int index = 0; index < window->Notebook1->count(); ++index)
        pages << window->Notebook1->widget(index)->objectName();
    EXPECT_EQ(pages, QStringList({"Default", "New", "Exist", "Thanks"}));
    EXPECT_EQ(window->ActivePage(), "Default");
}

TEST_F(WizardWindow, EveryControlSitsOnItsPageWithItsKindPlaceAndText)
{
    for (const Placement& placement : kPlacements) {
        SCOPED_TRACE(placement.name);
        auto* control = Control<QWidget>(*window, placement.name);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(control->parentWidget()->objectName(), placement.page);
        EXPECT_STREQ(control->metaObject()->className(), placement.kind);
        const auto* label = qobject_cast<QLabel*>(control);
        if (label != nullptr && !label->wordWrap()) {
            // One-line labels widen to their caption when the face needs a pixel or two more.
            const int textWidth = label->fontMetrics().horizontalAdvance(label->text());
            EXPECT_EQ(control->geometry(), QRect(placement.geometry.topLeft(),
                                                 QSize(std::max(placement.geometry.width(), textWidth),
                                                       placement.geometry.height())));
            EXPECT_LE(control->width(), placement.geometry.width() + 4);
        } else {
            EXPECT_EQ(control->geometry(), placement.geometry);
        }
        if (placement.text != nullptr) {
            EXPECT_EQ(TextOf(control), QString::fromUtf8(placement.text));
        }
    }
}

TEST_F(WizardWindow, StartsWithNewUserCheckedAndOnlyTheRightButtonsEnabled)
{
    EXPECT_TRUE(window->newChk->isChecked());
    EXPECT_FALSE(window->existChk->isChecked());
    EXPECT_TRUE(window->NextBtn->isEnabled());
    EXPECT_FALSE(window->CreateBtn->isEnabled());
    EXPECT_FALSE(window->SignBtn->isEnabled());
    EXPECT_FALSE(window->CheckBox1->isChecked());
    EXPECT_TRUE(window->Label7->isHidden());
    EXPECT_FALSE(window->Label9->isHidden());
    EXPECT_TRUE(window->Label7->wordWrap());
    EXPECT_TRUE(window->Label9->wordWrap());
    EXPECT_EQ(window->txt_pwd->echoMode(), QLineEdit::Password);
    EXPECT_EQ(window->txt_extPwd->echoMode(), QLineEdit::Password);
    EXPECT_EQ(window->txt_Email->echoMode(), QLineEdit::Normal);
    for (QLineEdit* edit : {window->txt_pwd, window->txt_extPwd})
        EXPECT_EQ(edit->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, edit), '*');
}

TEST_F(WizardWindow, FontsAndColoursFollowTheLayout)
{
    const auto pixels = [](QWidget* control) { return control->font().pixelSize(); };
    const QColor maroon(128, 0, 0);
    const QColor navy(0, 0, 128);
    EXPECT_EQ(pixels(window.get()), 11);
    EXPECT_EQ(pixels(window->Notebook1), 11);
    EXPECT_EQ(window->NextBtn->palette().color(QPalette::ButtonText), maroon);  // buttons inherit the page font
    EXPECT_EQ(window->newChk->palette().color(QPalette::WindowText), Qt::black);
    EXPECT_EQ(window->txt_Login->palette().color(QPalette::Text), Qt::black);
    EXPECT_EQ(window->Label7->palette().color(QPalette::WindowText), navy);
    EXPECT_TRUE(window->Label7->font().bold());
    EXPECT_EQ(pixels(window->Label7), 11);
    EXPECT_EQ(window->Label5->palette().color(QPalette::WindowText), navy);
    EXPECT_TRUE(window->Label5->font().bold());
    EXPECT_EQ(pixels(window->Label5), 13);

    const QFontInfo resolved(window->newChk->font());
    EXPECT_EQ(resolved.family(), "Liberation Sans");
    EXPECT_TRUE(QFontMetrics(window->newChk->font()).inFontUcs4('W'));
}

TEST_F(WizardWindow, NoCaptionIsWiderThanItsControl)
{
    for (const Placement& placement : kPlacements) {
        if (placement.text == nullptr || *placement.text == '\0')
            continue;
        SCOPED_TRACE(placement.name);
        auto* control = Control<QWidget>(*window, placement.name);
        const QFontMetrics metrics(control->font());
        if (auto* label = qobject_cast<QLabel*>(control); label != nullptr && label->wordWrap()) {
            EXPECT_LE(label->heightForWidth(label->width()), label->height());
        } else if (qobject_cast<QLabel*>(control) != nullptr) {
            EXPECT_LE(metrics.horizontalAdvance(TextOf(control)), control->width());
            EXPECT_LE(metrics.height(), control->height());
        } else if (qobject_cast<QPushButton*>(control) != nullptr) {
            EXPECT_LE(metrics.horizontalAdvance(TextOf(control)) + 8, control->width());
        } else {
            EXPECT_LE(control->sizeHint().width(), control->width());  // indicator, spacing and caption
        }
    }
}

TEST_F(WizardWindow, EachEditIsAnnouncedByItsLabel)
{
    EXPECT_EQ(window->Label1->buddy(), window->txt_Email);
    EXPECT_EQ(window->Label2->buddy(), window->txt_Login);
    EXPECT_EQ(window->Label3->buddy(), window->txt_pwd);
    EXPECT_EQ(window->Label4->buddy(), window->txt_extLogin);
    EXPECT_EQ(window->Label6->buddy(), window->txt_extPwd);
}

TEST_F(WizardWindow, TabMovesThroughEachPageInItsOrder)
{
    const auto order = [this](std::initializer_list<QWidget*> expected) {
        auto it = expected.begin();
        (*it)->setFocus(Qt::OtherFocusReason);
        for (++it; it != expected.end(); ++it) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            EXPECT_EQ(QApplication::focusWidget()->objectName().toStdString(), (*it)->objectName().toStdString());
        }
    };
    window->activateWindow();
    order({window->newChk, window->NextBtn, window->Button2});  // one stop for the radio group
    GoToNew();
    TypeInto(window->txt_Email, "a@b.test");  // a Tab's release re-evaluates the rule too
    TypeInto(window->txt_Login, "alice");
    TypeInto(window->txt_pwd, "secret");
    order({window->txt_Email, window->txt_Login, window->txt_pwd, window->CreateBtn, window->Button5,
           window->BackBtn});
    ClickButton(window->BackBtn);
    GoToExist();
    TypeInto(window->txt_extLogin, "alice");
    TypeInto(window->txt_extPwd, "secret");
    order({window->txt_extLogin, window->txt_extPwd, window->SignBtn, window->Button7, window->SBackBtn});
}

// --- page flow ------------------------------------------------------------------------------

TEST_F(WizardWindow, NextFollowsTheChosenRadioButton)
{
    GoToNew();
    ClickButton(window->BackBtn);
    EXPECT_EQ(window->ActivePage(), "Default");
    GoToExist();
    ClickButton(window->SBackBtn);
    EXPECT_EQ(window->ActivePage(), "Default");
    EXPECT_TRUE(window->existChk->isChecked());
    ClickIndicator(window->newChk);
    EXPECT_FALSE(window->existChk->isChecked());
    GoToNew();
}

TEST_F(WizardWindow, APageNameThatMatchesNoPageChangesNothing)
{
    GoToNew();
    window->ShowPage("Nowhere");
    EXPECT_EQ(window->ActivePage(), "New");
    window->ShowPage("");
    EXPECT_EQ(window->ActivePage(), "New");
}

// --- enabling rules -------------------------------------------------------------------------

struct FieldTexts {
    const char* tag;
    const char* first;
    const char* second;
    const char* third;
    bool enabled;
};

const FieldTexts kCreateCases[] = {
    {"all filled", "a@b.test", "alice", "secret", true},
    {"email blank", "", "alice", "secret", false},
    {"login blank", "a@b.test", "", "secret", false},
    {"password blank", "a@b.test", "alice", "", false},
    {"login only spaces", "a@b.test", "   ", "secret", false},
    {"password only spaces", "a@b.test", "alice", "  ", false},
    {"padded texts count", " a ", " b ", " c ", true},
};

TEST_F(WizardWindow, CreateIsEnabledOnlyWhenAllThreeFieldsHoldText)
{
    GoToNew();
    for (const FieldTexts& row : kCreateCases) {
        SCOPED_TRACE(row.tag);
        for (QLineEdit* edit : {window->txt_Email, window->txt_Login, window->txt_pwd})
            edit->clear();
        TypeInto(window->txt_Email, row.first);
        TypeInto(window->txt_Login, row.second);
        TypeInto(window->txt_pwd, row.third);
        QTest::keyRelease(window->txt_pwd, Qt::Key_Shift);  // a release wherever typing ended
        EXPECT_EQ(window->CreateBtn->isEnabled(), row.enabled);
    }
}

TEST_F(WizardWindow, SignInIsEnabledOnlyWhenBothFieldsHoldText)
{
    GoToExist();
    const FieldTexts rows[] = {
        {"both", "alice", "secret", nullptr, true},
        {"no login", "", "secret", nullptr, false},
        {"no password", "alice", "", nullptr, false},
        {"blank login", "  ", "secret", nullptr, false},
    };
    for (const FieldTexts& row : rows) {
        SCOPED_TRACE(row.tag);
        window->txt_extLogin->clear();
        window->txt_extPwd->clear();
        TypeInto(window->txt_extLogin, row.first);
        TypeInto(window->txt_extPwd, row.second);
        QTest::keyRelease(window->txt_extLogin, Qt::Key_Shift);
        EXPECT_EQ(window->SignBtn->isEnabled(), row.enabled);
    }
}

// A key release enables; a field emptied any way (the context menu's Undo, Cut or Delete, with
// no key) disables at once, so an empty login or password is never sent or stored.
TEST_F(WizardWindow, AKeyReleaseEnablesAndAnEmptiedFieldDisablesAtOnce)
{
    GoToNew();
    TypeInto(window->txt_Email, "a@b.test");
    TypeInto(window->txt_Login, "alice");
    TypeInto(window->txt_pwd, "secret");
    ASSERT_TRUE(window->CreateBtn->isEnabled());
    window->txt_Login->setText("  ");
    EXPECT_FALSE(window->CreateBtn->isEnabled());

    ClickButton(window->BackBtn);
    GoToExist();
    window->txt_extLogin->setText("alice");  // pasted: no key released
    window->txt_extPwd->setText("secret");
    EXPECT_FALSE(window->SignBtn->isEnabled());
    QTest::keyRelease(window->txt_extPwd, Qt::Key_End);
    EXPECT_TRUE(window->SignBtn->isEnabled());
    window->txt_extPwd->clear();
    EXPECT_FALSE(window->SignBtn->isEnabled());
    window->txt_extPwd->setText("secret");
    QTest::keyRelease(window->SignBtn, Qt::Key_Space);  // a release on the button itself counts
    EXPECT_TRUE(window->SignBtn->isEnabled());
}

TEST_F(WizardWindow, GoingBackDisablesCreateUntilAKeyIsReleasedAgain)
{
    GoToNew();
    TypeInto(window->txt_Email, "a@b.test");
    TypeInto(window->txt_Login, "alice");
    TypeInto(window->txt_pwd, "secret");
    ASSERT_TRUE(window->CreateBtn->isEnabled());
    ClickButton(window->BackBtn);
    GoToNew();
    EXPECT_EQ(window->txt_Login->text(), "alice");  // the fields keep their text
    EXPECT_FALSE(window->CreateBtn->isEnabled());
    QTest::keyRelease(window->txt_Email, Qt::Key_Tab);
    EXPECT_TRUE(window->CreateBtn->isEnabled());

    ClickButton(window->BackBtn);
    GoToExist();
    TypeInto(window->txt_extLogin, "bob");
    TypeInto(window->txt_extPwd, "pw");
    ClickButton(window->SBackBtn);
    GoToExist();
    EXPECT_FALSE(window->SignBtn->isEnabled());
}

// --- sign-in --------------------------------------------------------------------------------

TEST_F(WizardWindow, SignInStoresTheTrimmedLoginAndScrambledPasswordAndThanks)
{
    GoToExist();
    TypeInto(window->txt_extLogin, "  alice\t");
    TypeInto(window->txt_extPwd, " abc ");
    ClickButton(window->SignBtn);

    EXPECT_TRUE(errors.messages.isEmpty()) << errors.messages.join('\n').toStdString();
    EXPECT_EQ(window->ActivePage(), "Thanks");
    EXPECT_TRUE(window->Label9->isHidden());
    EXPECT_FALSE(window->SignBtn->isEnabled());
    const auto login = ReadStoredValue(kSettingsKey, "UserName");
    const auto password = ReadStoredValue(kSettingsKey, "PassWord");
    ASSERT_TRUE(login && password);
    EXPECT_EQ(login->type, REG_SZ);
    EXPECT_EQ(login->bytes, StoredString("alice"));
    EXPECT_EQ(password->type, REG_SZ);
    EXPECT_EQ(password->bytes, StoredString("\xE1\xE2\xE3"));
}

// Sign In and Finish sit in one place: the second click of a double click on Sign In must not
// press Finish before the user has seen the Thanks page; a later click, a key or an accessibility
// action still does.
TEST_F(WizardWindow, TheSecondClickOfADoubleClickDoesNotReachTheNextPage)
{
    const quint64 interval = static_cast<quint64>(QGuiApplication::styleHints()->mouseDoubleClickInterval());
    constexpr quint64 signInTime = 1000000;
    struct Case {
        const char* tag;
        std::function<void(TForm1&)> then;
        bool closes;
    };
    const Case cases[] = {
        {"the second click of a double click", [](TForm1& w) { SendClick(w.Button9, signInTime + 150); }, false},
        {"a click once the double-click interval is over",
         [&](TForm1& w) { SendClick(w.Button9, signInTime + interval + 100); }, true},
        {"Space at once", [](TForm1& w) { QTest::keyClick(w.Button9, Qt::Key_Space); }, true},
        {"an accessibility press at once",
         [](TForm1& w) {
             QAccessibleInterface* button = QAccessible::queryAccessibleInterface(w.Button9);
             ASSERT_NE(button, nullptr);
             button->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        OpenWindow();
        GoToExist();
        TypeInto(window->txt_extLogin, "alice");
        TypeInto(window->txt_extPwd, "secret");
        SendClick(window->SignBtn, signInTime);
        ASSERT_EQ(window->ActivePage(), "Thanks");
        c.then(*window);
        if (c.closes)
            EXPECT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, 5000));
        else
            EXPECT_TRUE(window->isVisible());
    }
}

TEST_F(WizardWindow, SignInRefusesAPasswordThatCantBeStored)
{
    GoToExist();
    TypeInto(window->txt_extLogin, "alice");
    window->txt_extPwd->setText(QString::fromUtf8("pass\u2013word"));  // the en dash carries a 0x80 byte
    QTest::keyRelease(window->txt_extPwd, Qt::Key_D);
    ClickButton(window->SignBtn);

    ASSERT_EQ(errors.messages.size(), 1);
    EXPECT_EQ(errors.messages.front().toStdString(), kUnstorablePasswordMessage);
    EXPECT_EQ(window->ActivePage(), "Exist");
    EXPECT_FALSE(ReadStoredValue(kSettingsKey, "UserName"));
    EXPECT_FALSE(ReadStoredValue(kSettingsKey, "PassWord"));
}

TEST_F(WizardWindow, SignInThatCantStoreShowsTheKeyAndStaysOnItsPage)
{
    GoToExist();
    TypeInto(window->txt_extLogin, "alice");
    TypeInto(window->txt_extPwd, "secret");
    // The hive's folder can't be created under a plain file.
    const QString blocker = hive.folder() + "/not-a-folder";
    QFile file(blocker);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    setenv("XDG_CONFIG_HOME", blocker.toLocal8Bit().constData(), 1);

    ClickButton(window->SignBtn);

    ASSERT_EQ(errors.messages.size(), 1);
    EXPECT_TRUE(errors.messages.front().contains("Software\\Dorvane Pro\\Settings"))
        << errors.messages.front().toStdString();
    EXPECT_TRUE(errors.messages.front().contains(blocker + " is a file")) << "names what blocked it";
    EXPECT_EQ(window->ActivePage(), "Exist");
    EXPECT_TRUE(window->isVisible());
}

// --- creation and leaving -------------------------------------------------------------------

TEST(WizardWindowCreation, ReadsTheServiceLocationIntoWizardURL)
{
    ScopedHive hive;
    ErrorCapture errors;
    WriteStoredValue(kServiceKey, "wPath", REG_SZ, StoredString("files.dorvane.test:8080"));
    TForm1 window;
    EXPECT_EQ(window.WizardURL, "http://files.dorvane.test:8080/wizard_files/");
    EXPECT_TRUE(errors.messages.isEmpty());
}

TEST(WizardWindowCreation, AWrongTypedLocationIsShownAndTheWindowStillOpens)
{
    ScopedHive hive;
    ErrorCapture errors;
    WriteStoredValue(kServiceKey, "wPath", REG_DWORD, std::string("\x01\x00\x00\x00", 4));
    TForm1 window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(errors.messages, QStringList({"Invalid data type for 'wPath'"}));
    EXPECT_EQ(window.WizardURL, "");
    EXPECT_EQ(window.ActivePage(), "Default");
}

TEST_F(WizardWindow, CancelClosesTheWindowOnEveryPage)
{
    ClickButton(window->Button2);
    EXPECT_FALSE(window->isVisible());
    for (const char* page : {"New", "Exist"}) {
        OpenWindow();
        window->ShowPage(page);
        ClickButton(page == std::string("New") ? window->Button5 : window->Button7);
        EXPECT_FALSE(window->isVisible()) << page;
    }
}

}  // namespace
