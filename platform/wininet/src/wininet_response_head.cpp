#include "wininet_response_head.h"

#include <charconv>
#include <cstdint>
#include <cstdlib>

#include "ascii_text.h"

namespace wininet {

namespace {

std::string_view withoutLineEnd(std::string_view line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    return line;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// A length libcurl can hold: decimal digits only (no sign, no "0x", nothing after them), at most
// the largest 64-bit number. libcurl reads "0x10" as 0 and "5abc" as 5, and takes a value past
// that number whole, so the body it frames would not be the one the server meant.
bool isPlainLength(std::string_view value)
{
    if (value.empty() || value.front() < '0' || value.front() > '9')
        return false;
    std::int64_t length = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), length);
    return error == std::errc() && end == value.data() + value.size();
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// A control byte other than the tab: a bare CR would end the line for some readers and not for
// others (libcurl keeps "X: a\rLocation: b" as one field), the rest reaches whoever prints it.
bool hasControlByte(std::string_view line)
{
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7f)
            return true;
    }
    return false;
}

// "HTTP/" digit "." digit, one blank, three digits, then nothing or a blank and the reason.
// libcurl reads more ("http/1.1", blanks before the code) and acts on the code it found there,
// so a response it follows or answers would be reported with another code.
bool isStatusLine(std::string_view line)
{
    return line.size() >= 12 && line.substr(0, 5) == "HTTP/" && isDigit(line[5]) && line[6] == '.' &&
           isDigit(line[7]) && line[8] == ' ' && isDigit(line[9]) && isDigit(line[10]) && isDigit(line[11]) &&
           (line.size() == 12 || line[12] == ' ');
}

} // namespace

std::optional<std::string_view> fieldValue(std::string_view line, std::string_view name)
{
    if (line.size() <= name.size() || line[name.size()] != ':' || !platform::ascii::startsWithIgnoringCase(line, name))
        return std::nullopt;
    std::string_view value = line.substr(name.size() + 1);
    while (!value.empty() && isBlank(value.front()))
        value.remove_prefix(1);
    // The blanks around a value are no part of it.
    while (!value.empty() && isBlank(value.back()))
        value.remove_suffix(1);
    return value;
}

std::optional<std::string> findField(const std::string& block, std::string_view name)
{
    std::size_t position = block.find("\r\n");
    while (position != std::string::npos && position + 2 < block.size()) {
        const std::size_t begin = position + 2;
        const std::size_t end = block.find("\r\n", begin);
        if (end == std::string::npos)
            break;
        if (const auto value = fieldValue(std::string_view(block).substr(begin, end - begin), name))
            return std::string(*value);
        position = end;
    }
    return std::nullopt;
}

long statusCodeOf(std::string_view statusLine)
{
    const std::size_t space = statusLine.find(' ');
    if (space == std::string_view::npos)
        return 0;
    return std::strtol(std::string(statusLine.substr(space + 1, 3)).c_str(), nullptr, 10);
}

std::string statusTextOf(const std::string& block)
{
    const std::string line = block.substr(0, block.find("\r\n"));
    const std::size_t first = line.find(' ');
    const std::size_t second = first == std::string::npos ? std::string::npos : line.find(' ', first + 1);
    return second == std::string::npos ? std::string() : line.substr(second + 1);
}

std::string nulSeparated(const std::string& block)
{
    std::string lines;
    std::size_t position = 0;
    while (position < block.size()) {
        const std::size_t end = block.find("\r\n", position);
        if (end == std::string::npos || end == position)
            break;
        lines.append(block, position, end - position);
        lines += '\0';
        position = end + 2;
    }
    lines += '\0';
    return lines;
}

ResponseHead::Line ResponseHead::take(std::string_view raw)
{
    const std::string_view line = withoutLineEnd(raw);
    m_bytes += raw.size();
    if (platform::ascii::startsWithIgnoringCase(line, "HTTP/")) {
        *this = ResponseHead{};
        m_bytes = raw.size();
        if (!isStatusLine(line) || hasControlByte(line))
            return refuse();
        m_status = statusCodeOf(line);
        // No request asks to switch protocols; what follows would be taken for the body.
        if (m_status == 101)
            return refuse();
        m_block.assign(line);
        m_block += "\r\n";
        return Line::Status;
    }
    if (line.empty()) {
        m_complete = true;
        return Line::End;
    }
    // A folded line continues the one before for some readers, and libcurl frames the body
    // without it ("Transfer-Encoding:" folded onto "chunked" is no chunked body to it).
    if (isBlank(line.front()) || hasControlByte(line))
        return refuse();
    m_block.append(line);
    m_block += "\r\n";
    if (auto value = fieldValue(line, "Content-Length")) {
        while (!value->empty() && isBlank(value->back()))
            value->remove_suffix(1);
        if (!isPlainLength(*value) || (!m_contentLength.empty() && m_contentLength != *value))
            return refuse();
        m_contentLength.assign(*value);
    }
    if (const auto value = fieldValue(line, "Location")) {
        // libcurl follows the first; a second one would be the one reported.
        if (!m_location.empty() && m_location != *value)
            return refuse();
        m_location.assign(*value);
    }
    if (m_block.size() > sizeLimit)
        return refuse();
    return Line::Field;
}

ResponseHead::Line ResponseHead::refuse()
{
    m_refused = true;
    return Line::Refused;
}

} // namespace wininet
