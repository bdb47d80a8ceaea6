// The wizard's 8-bit text: what crosses from the widgets to the settings and the requests.
// On this platform the system's 8-bit code page is the locale's (UTF-8), so a QString crosses
// with toLocal8Bit()/fromLocal8Bit(), and trimming works on those bytes.
#pragma once

#include <QString>
#include <string>
#include <string_view>

// The field text as the system's 8-bit bytes.
[[nodiscard]] std::string ToAnsi(const QString& text);
[[nodiscard]] QString FromAnsi(std::string_view text);

// Removes leading and trailing bytes of value 0x20 or below (blanks and control characters).
[[nodiscard]] std::string TrimBlanks(std::string_view text);
