#include "WizardTestSupport.h"

#include <QMouseEvent>
#include <QTest>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <vector>
#include <QApplication>

#include "winreg.h"

ScopedHive::ScopedHive()
{
    if (const char* previous = std::getenv("XDG_CONFIG_HOME"))
        m_previous = QByteArray(previous);
    EXPECT_TRUE(m_folder.isValid());
    setenv("XDG_CONFIG_HOME", m_folder.path().toLocal8Bit().constData(), 1);
}

ScopedHive::~ScopedHive()
{
    if (m_previous)
        setenv("XDG_CONFIG_HOME", m_previous->constData(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}

std::optional<StoredValue> ReadStoredValue(const char* key, const char* name)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return std::nullopt;
    DWORD type = 0;
    DWORD size = 0;
    std::optional<StoredValue> result;
    if (RegQueryValueExA(opened, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        std::vector<BYTE> data(size);
        if (RegQueryValueExA(opened, name, nullptr, &type, data.data(), &size) == ERROR_SUCCESS)
            result = StoredValue{type, std::string(data.begin(), data.begin() + size)};
    }
    RegCloseKey(opened);
    return result;
}

void WriteStoredValue(const char* key, const char* name, unsigned type, const std::string& bytes)
{
    HKEY created = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &created, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(created, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
    RegCloseKey(created);
}

std::string StoredString(const std::string& text)
{
    return text + '\0';
}

ErrorCapture::ErrorCapture()
    : m_previous(TForm1::SetErrorPresenter([this](QWidget*, const QString& text) { messages << text; }))
{
}

ErrorCapture::~ErrorCapture()
{
    TForm1::SetErrorPresenter(m_previous);
}

void ClickIndicator(QAbstractButton* button)
{
    QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, QPoint(6, button->height() / 2));
}

void ClickButton(QAbstractButton* button)
{
    QTest::mouseClick(button, Qt::LeftButton);
}

void TypeInto(QWidget* control, const QString& text)
{
    QTest::keyClicks(control, text);
}

namespace {

std::unique_ptr<QMouseEvent> MouseEvent(QAbstractButton* button, QEvent::Type type, quint64 time)
{
    const QPointF at = button->rect().center();
    const Qt::MouseButtons held = type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton;
    auto event = std::make_unique<QMouseEvent>(type, at, button->mapToGlobal(at), Qt::LeftButton, held, Qt::NoModifier);
    event->setTimestamp(time);
    return event;
}

}  // namespace

void SendClick(QAbstractButton* button, quint64 time)
{
    QApplication::sendEvent(button, MouseEvent(button, QEvent::MouseButtonPress, time).get());
    QApplication::sendEvent(button, MouseEvent(button, QEvent::MouseButtonRelease, time + 1).get());
}

void PostClick(QAbstractButton* button, quint64 time)
{
    QCoreApplication::postEvent(button, MouseEvent(button, QEvent::MouseButtonPress, time).release());
    QCoreApplication::postEvent(button, MouseEvent(button, QEvent::MouseButtonRelease, time + 1).release());
}
