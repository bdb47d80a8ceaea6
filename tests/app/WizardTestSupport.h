// Helpers for the wizard's tests: a settings hive of the test's own, captured error messages,
// and driving the window as a user would.
#pragma once

#include <QAbstractButton>
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <optional>
#include <string>

#include "Unit1.h"

// Points the settings hive at a fresh folder for its lifetime ($XDG_CONFIG_HOME/dorvane/...).
class ScopedHive {
public:
    ScopedHive();
    ~ScopedHive();
    ScopedHive(const ScopedHive&) = delete;
    ScopedHive& operator=(const ScopedHive&) = delete;

    [[nodiscard]] QString folder() const { return m_folder.path(); }

private:
    QTemporaryDir m_folder;
    std::optional<QByteArray> m_previous;
};

struct StoredValue {
    unsigned type = 0;
    std::string bytes;  // exactly as stored, terminating NUL included
};

// The value under HKEY_CURRENT_USER, or nothing when the key or value is missing.
[[nodiscard]] std::optional<StoredValue> ReadStoredValue(const char* key, const char* name);
// Creates the key when needed; fails the test when the write fails.
void WriteStoredValue(const char* key, const char* name, unsigned type, const std::string& bytes);
// A REG_SZ value with its terminating NUL.
[[nodiscard]] std::string StoredString(const std::string& text);

// Collects the texts the windows would show in message boxes, instead of blocking on them.
class ErrorCapture {
public:
    ErrorCapture();
    ~ErrorCapture();
    ErrorCapture(const ErrorCapture&) = delete;
    ErrorCapture& operator=(const ErrorCapture&) = delete;

    QStringList messages;

private:
    TForm1::ErrorPresenter m_previous;
};

// Clicks where a radio button's or check box's indicator is, so short captions in wide
// controls still take the click.
void ClickIndicator(QAbstractButton* button);
// A left click in the middle of a push button.
void ClickButton(QAbstractButton* button);
// Types text into a control (a press and a release per character).
void TypeInto(QWidget* control, const QString& text);
// A left click in the middle of a push button whose press carries the window system's time
// `time` (milliseconds), as a real click does; the release comes 1 ms later. Send delivers it
// now, Post queues it (from any thread).
void SendClick(QAbstractButton* button, quint64 time);
void PostClick(QAbstractButton* button, quint64 time);
