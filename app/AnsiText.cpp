#include "AnsiText.h"

#include <QByteArray>

std::string ToAnsi(const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

QString FromAnsi(std::string_view text)
{
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

std::string TrimBlanks(std::string_view text)
{
    const auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    return std::string(text.substr(begin, end - begin));
}
