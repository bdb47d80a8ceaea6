// The wizard on other desktops than the one it was laid out for: what a screen reader is told,
// dark palettes, and screens scaled by 1.5 and 2 (offscreen; the real bus, keyboard and scaled
// windows are driven by atspi_wizard.sh and e2e_keyboard.sh).
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QHash>
#include <QImage>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>
#include <gtest/gtest.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <tuple>
#include <vector>

#include "ReadableColours.h"
#include "WizardTestSupport.h"

namespace {

// --- what a screen reader is told -----------------------------------------------------------

struct AccessibleRow {
    const char* object;  // object name, or "" for the window
    QAccessible::Role role;
    const char* name;
};

const AccessibleRow kAccessibleRows[] = {
    {"", QAccessible::Dialog, "Dorvane Account Setup"},
    {"Default", QAccessible::Grouping, "Sign up or sign in"},
    {"New", QAccessible::Grouping, "New account"},
    {"Exist", QAccessible::Grouping, "Existing account"},
    {"Thanks", QAccessible::Grouping, "Finished"},
    {"newChk", QAccessible::RadioButton, "I am a new user. Please sign me up."},
    {"existChk", QAccessible::RadioButton, "I already have an account at dorvane.com."},
    {"txt_Email", QAccessible::EditableText, "Email"},
    {"txt_Login", QAccessible::EditableText, "Login"},
    {"txt_pwd", QAccessible::EditableText, "Password"},
    {"txt_extLogin", QAccessible::EditableText, "Login"},
    {"txt_extPwd", QAccessible::EditableText, "Password"},
    {"CreateBtn", QAccessible::Button, "Create"},
    {"SignBtn", QAccessible::Button, "Sign In"},
    {"CheckBox1", QAccessible::CheckBox, "Launch Dorvane application"},
    {"Bevel1", QAccessible::Separator, ""},
    {"Bevel4", QAccessible::Separator, ""},
};

class WizardDesktop : public ::testing::Test {
protected:
    void SetUp() override { OpenWindow(); }
    void TearDown() override
    {
        window.reset();
        QApplication::setPalette(QPalette());
        QCoreApplication::processEvents();
    }

    void OpenWindow()
    {
        window = std::make_unique<TForm1>();
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    ScopedHive hive;
    ErrorCapture errors;
    std::unique_ptr<TForm1> window;
};

TEST_F(WizardDesktop, EachControlHasTheRoleAndNameAScreenReaderAnnounces)
{
    for (const AccessibleRow& row : kAccessibleRows) {
        SCOPED_TRACE(row.object);
        QObject* object = *row.object == '\0' ? static_cast<QObject*>(window.get())
                                              : window->findChild<QObject*>(QString::fromLatin1(row.object));
        ASSERT_NE(object, nullptr);
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(object);
        ASSERT_NE(accessible, nullptr);
        EXPECT_EQ(accessible->role(), row.role);
        EXPECT_EQ(accessible->text(QAccessible::Name).toStdString(), row.name);
    }
}

TEST_F(WizardDesktop, TheSidePictureIsDecorationAndLeftOutOfTheTree)
{
    QAccessibleInterface* dialog = QAccessible::queryAccessibleInterface(window.get());
    ASSERT_EQ(dialog->childCount(), 1);
    EXPECT_EQ(dialog->child(0)->object(), window->Notebook1);
    EXPECT_EQ(dialog->indexOfChild(QAccessible::queryAccessibleInterface(window->Notebook1)), 0);
    EXPECT_EQ(dialog->indexOfChild(QAccessible::queryAccessibleInterface(window->Image1)), -1);
    EXPECT_EQ(dialog->child(1), nullptr);
    const QPoint onPicture = window->mapToGlobal(QPoint(50, 120));
    EXPECT_EQ(dialog->childAt(onPicture.x(), onPicture.y()), nullptr);
}

// --- colours --------------------------------------------------------------------------------

// A dark palette as a desktop's dark theme sets it.
QPalette DarkPalette()
{
    QPalette dark;
    const QColor face(53, 53, 53);
    const QColor base(35, 35, 35);
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        dark.setColor(group, QPalette::Window, face);
        dark.setColor(group, QPalette::Button, face);
        dark.setColor(group, QPalette::Base, base);
        dark.setColor(group, QPalette::AlternateBase, face);
        dark.setColor(group, QPalette::WindowText, QColor(238, 238, 238));
        dark.setColor(group, QPalette::Text, QColor(238, 238, 238));
        dark.setColor(group, QPalette::ButtonText, QColor(238, 238, 238));
        dark.setColor(group, QPalette::Highlight, QColor(42, 130, 218));
        dark.setColor(group, QPalette::HighlightedText, Qt::black);
        dark.setColor(group, QPalette::Light, face.lighter(150));
        dark.setColor(group, QPalette::Midlight, face.lighter(125));
        dark.setColor(group, QPalette::Mid, face.darker(150));
        dark.setColor(group, QPalette::Dark, face.darker(200));
        dark.setColor(group, QPalette::Shadow, Qt::black);
    }
    dark.setColor(QPalette::Disabled, QPalette::Window, face);
    dark.setColor(QPalette::Disabled, QPalette::Button, face);
    dark.setColor(QPalette::Disabled, QPalette::Base, face);
    for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        dark.setColor(QPalette::Disabled, role, QColor(127, 127, 127));
    return dark;
}

// Where a control draws its caption or text, in its own coordinates: the caption beside a
// radio button's or check box's indicator, the inside of a button's or field's frame.
QRect TextArea(QWidget* control)
{
    if (auto* button = qobject_cast<QAbstractButton*>(control); button != nullptr && button->isCheckable()) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        const bool radio = qobject_cast<QRadioButton*>(button) != nullptr;
        return control->style()->subElementRect(radio ? QStyle::SE_RadioButtonContents : QStyle::SE_CheckBoxContents,
                                                &option, button);
    }
    if (qobject_cast<QLabel*>(control) != nullptr)
        return control->rect();
    return control->rect().adjusted(4, 4, -4, -4);
}

struct Measure {
    QRgb background = 0;
    double contrast = 1.0;  // of the most contrasting pixel against the background
    QRect ink;              // pixels that stand out clearly (2:1) from the background
    int inkPixels = 0;
};

// The background is the commonest colour in the area; every other pixel is text, or its edge.
Measure MeasureArea(const QImage& image, const QRect& area)
{
    QHash<QRgb, int> counts;
    const QRect inside = area.intersected(image.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x)
            ++counts[image.pixel(x, y)];
    Measure measure;
    int most = 0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        if (it.value() > most) {
            most = it.value();
            measure.background = it.key();
        }
    }
    const QColor background = QColor::fromRgb(measure.background);
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x) {
            const double contrast = TReadableColours::ContrastRatio(QColor::fromRgb(image.pixel(x, y)), background);
            measure.contrast = std::max(measure.contrast, contrast);
            if (contrast >= 2.0) {
                measure.ink |= QRect(x, y, 1, 1);
                ++measure.inkPixels;
            }
        }
    }
    return measure;
}

QImage Render(QWidget* window, double scale)
{
    QImage image(QSize(qRound(window->width() * scale), qRound(window->height() * scale)),
                 QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::transparent);
    window->render(&image);
    return image;
}

QRect DeviceRect(QWidget* window, QWidget* control, const QRect& area, double scale)
{
    const QRect logical(control->mapTo(window, area.topLeft()), area.size());
    return QRect(QPoint(qFloor(logical.left() * scale), qFloor(logical.top() * scale)),
                 QPoint(qCeil((logical.right() + 1) * scale) - 1, qCeil((logical.bottom() + 1) * scale) - 1));
}

// Every control that shows text, on its page, with the fields filled and the message label
// and both enabling rules' buttons on, so each text is drawn enabled.
std::vector<std::pair<QString, std::vector<QWidget*>>> TextPages(TForm1& window)
{
    TypeInto(window.txt_Email, "alice@example.com");
    TypeInto(window.txt_Login, "alice");
    TypeInto(window.txt_pwd, "secret");
    TypeInto(window.txt_extLogin, "bob");
    TypeInto(window.txt_extPwd, "abc");
    // As the window shows a message: widened, as high as its lines.
    window.Label7->resize(260, window.Label7->height());
    window.Label7->setText("User name already exists.");
    window.Label7->resize(260, window.Label7->heightForWidth(260));
    window.Label7->show();
    return {
        {"Default", {window.newChk, window.existChk, window.NextBtn, window.Button2}},
        {"New",
         {window.Label7, window.Label1, window.txt_Email, window.Label2, window.txt_Login, window.Label3,
          window.txt_pwd, window.CreateBtn, window.Button5, window.BackBtn}},
        {"Exist",
         {window.Label4, window.txt_extLogin, window.Label6, window.txt_extPwd, window.SignBtn, window.Button7,
          window.SBackBtn}},
        {"Thanks", {window.Label5, window.Label9, window.CheckBox1, window.Button9}},
    };
}

struct ThemeRow {
    const char* tag;
    bool dark;
};

const ThemeRow kThemes[] = {{"light", false}, {"dark", true}};

TEST(WizardDesktopColours, EveryEnabledTextStandsOutFromItsBackgroundInTheRenderedWindow)
{
    const bool report = std::getenv("DORVANE_CONTRAST_REPORT") != nullptr;
    for (const ThemeRow& theme : kThemes) {
        SCOPED_TRACE(theme.tag);
        QApplication::setPalette(theme.dark ? DarkPalette() : QPalette());
        {
            ScopedHive hive;
            ErrorCapture errors;
            TForm1 window;  // built under that palette, as a desktop starts it
            window.show();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
            for (const auto& [page, controls] : TextPages(window)) {
                window.ShowPage(page);
                const QImage image = Render(&window, 1.0);
                // DORVANE_THEME_SHOTS=DIR saves the pages as DIR/page-NAME-THEME.png.
                if (const char* shots = std::getenv("DORVANE_THEME_SHOTS"))
                    image.save(QStringLiteral("%1/page-%2-%3.png").arg(shots, page.toLower(), theme.tag));
                for (QWidget* control : controls) {
                    SCOPED_TRACE(control->objectName().toStdString());
                    ASSERT_TRUE(control->isEnabled());
                    const Measure measure = MeasureArea(image, DeviceRect(&window, control, TextArea(control), 1.0));
                    EXPECT_GE(measure.contrast, TReadableColours::kMinimumContrast);
                    if (report)
                        std::printf("contrast %-5s %-7s %-10s %5.2f:1\n", theme.tag, qPrintable(page),
                                    qPrintable(control->objectName()), measure.contrast);
                }
            }
        }
        QApplication::setPalette(QPalette());
    }
}

TEST_F(WizardDesktop, ASwitchOfThemeWhileOpenMapsTheColoursAndSwitchingBackRestoresThem)
{
    const QColor maroon(128, 0, 0);
    const QColor navy(0, 0, 128);
    QApplication::setPalette(DarkPalette());
    QCoreApplication::processEvents();
    const QPalette dark = DarkPalette();
    for (const auto& [control, role, background] :
         {std::tuple{static_cast<QWidget*>(window->NextBtn), QPalette::ButtonText, QPalette::Button},
          std::tuple{static_cast<QWidget*>(window->newChk), QPalette::WindowText, QPalette::Window},
          std::tuple{static_cast<QWidget*>(window->txt_Login), QPalette::Text, QPalette::Base},
          std::tuple{static_cast<QWidget*>(window->Label5), QPalette::WindowText, QPalette::Window}}) {
        SCOPED_TRACE(control->objectName().toStdString());
        EXPECT_GE(TReadableColours::ContrastRatio(control->palette().color(role), dark.color(background)),
                  TReadableColours::kMappedContrast);
    }
    // The hue stays: maroon becomes a light red, navy a light blue.
    EXPECT_EQ(window->NextBtn->palette().color(QPalette::ButtonText).hslHue(), 0);
    EXPECT_EQ(window->Label5->palette().color(QPalette::WindowText).hslHue(), 240);

    QApplication::setPalette(QPalette());
    QCoreApplication::processEvents();
    EXPECT_EQ(window->NextBtn->palette().color(QPalette::ButtonText), maroon);
    EXPECT_EQ(window->newChk->palette().color(QPalette::WindowText), Qt::black);
    EXPECT_EQ(window->txt_Login->palette().color(QPalette::Text), Qt::black);
    EXPECT_EQ(window->Label5->palette().color(QPalette::WindowText), navy);
}

struct ReadableRow {
    const char* tag;
    QColor wanted;
    QColor background;
    bool kept;
};

const ReadableRow kReadableRows[] = {
    {"black on the light face", Qt::black, QColor(239, 239, 239), true},
    {"maroon on white", QColor(128, 0, 0), Qt::white, true},
    {"navy on the light face", QColor(0, 0, 128), QColor(239, 239, 239), true},
    {"black on a dark face", Qt::black, QColor(53, 53, 53), false},
    {"maroon on a dark face", QColor(128, 0, 0), QColor(53, 53, 53), false},
    {"navy on black", QColor(0, 0, 128), Qt::black, false},
    {"white on a pale face", Qt::white, QColor(230, 230, 230), false},
    {"mid grey on mid grey", QColor(128, 128, 128), QColor(120, 120, 120), false},
};

TEST(WizardDesktopColours, AColourIsKeptWhereReadableAndMovedInItsHueWhereNot)
{
    for (const ReadableRow& row : kReadableRows) {
        SCOPED_TRACE(row.tag);
        const QColor readable = TReadableColours::Readable(row.wanted, row.background);
        if (row.kept) {
            EXPECT_EQ(readable, row.wanted);
            continue;
        }
        EXPECT_GE(TReadableColours::ContrastRatio(readable, row.background), TReadableColours::kMinimumContrast);
        if (row.wanted.hslSaturation() > 0) {
            EXPECT_EQ(readable.hslHue(), row.wanted.hslHue());
        }
    }
}

// --- scaled screens -------------------------------------------------------------------------

TEST_F(WizardDesktop, AtScale2And15EveryTextIsThatMuchLargerUnclippedAndApart)
{
    const auto pages = TextPages(*window);
    for (const double scale : {1.5, 2.0}) {
        SCOPED_TRACE(scale);
        for (const auto& [page, controls] : pages) {
            SCOPED_TRACE(page.toStdString());
            window->ShowPage(page);
            const QImage normal = Render(window.get(), 1.0);
            const QImage scaled = Render(window.get(), scale);
            EXPECT_EQ(scaled.size(), QSize(qRound(434 * scale), qRound(254 * scale)));
            std::vector<QRect> inks;
            for (QWidget* control : controls) {
                SCOPED_TRACE(control->objectName().toStdString());
                // Captions beside nothing get room to their right and below, where the end of
                // a caption too long for its control would show at scale 1 and be cut off at
                // the other scale; texts inside a frame are measured within it.
                const bool framed = qobject_cast<QLineEdit*>(control) != nullptr || qobject_cast<QPushButton*>(control) != nullptr;
                const QRect area = framed ? TextArea(control) : TextArea(control).adjusted(0, 0, 8, 2);
                const Measure at1 = MeasureArea(normal, DeviceRect(window.get(), control, area, 1.0));
                const Measure atScale = MeasureArea(scaled, DeviceRect(window.get(), control, area, scale));
                ASSERT_GT(at1.inkPixels, 0);
                // A clipped caption loses its end: its ink would be narrower or lower than scaled.
                const double slack = 2 * scale;
                EXPECT_GE(atScale.ink.width(), at1.ink.width() * scale - slack);
                EXPECT_LE(atScale.ink.width(), at1.ink.width() * scale + slack);
                EXPECT_GE(atScale.ink.height(), at1.ink.height() * scale - slack);
                EXPECT_NEAR(atScale.ink.left(), at1.ink.left() * scale, slack);
                EXPECT_NEAR(atScale.ink.top(), at1.ink.top() * scale, slack);
                for (const QRect& other : inks)
                    EXPECT_FALSE(atScale.ink.intersects(other)) << "overlaps another control's text";
                inks.push_back(atScale.ink);
            }
        }
    }
}

TEST_F(WizardDesktop, TheSidePictureIsScaledSmoothlyNotInBlocks)
{
    const QImage scaled = Render(window.get(), 2.0);
    // Nearest-neighbour doubling makes every aligned 2 x 2 block one colour; filtering blends.
    int blocks = 0;
    int blended = 0;
    for (int y = 0; y + 1 < 2 * 253; y += 2) {
        for (int x = 0; x + 1 < 2 * 118; x += 2) {
            ++blocks;
            const QRgb first = scaled.pixel(x, y);
            if (scaled.pixel(x + 1, y) != first || scaled.pixel(x, y + 1) != first || scaled.pixel(x + 1, y + 1) != first)
                ++blended;
        }
    }
    EXPECT_GT(blended, blocks / 10) << blended << " of " << blocks << " blocks blended";

    // At scale 1 the picture is drawn pixel for pixel.
    const QImage normal = Render(window.get(), 1.0).convertToFormat(QImage::Format_RGB32);
    const QImage picture = window->Image1->pixmap().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(normal.copy(0, 0, 118, 253), picture);
}

}  // namespace
