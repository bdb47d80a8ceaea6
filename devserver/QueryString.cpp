#include "QueryString.h"

#include "ascii_text.h"

namespace dorvane::devserver {
namespace {

// The value of `digits` hexadecimal digits at text[at], or -1.
long hexNumber(std::string_view text, size_t at, size_t digits)
{
    if (at + digits > text.size())
        return -1;
    long value = 0;
    for (size_t i = at; i < at + digits; ++i) {
        const int digit = platform::ascii::hexValue(text[i]);
        if (digit < 0)
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

void appendUtf8(std::string& out, unsigned long code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

} // namespace

std::string percentDecoded(std::string_view text, bool plusIsSpace)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == 'u') {
            const long code = hexNumber(text, i + 2, 4);
            if (code >= 0) {
                appendUtf8(out, static_cast<unsigned long>(code));
                i += 5;
                continue;
            }
        } else if (text[i] == '%') {
            const long byte = hexNumber(text, i + 1, 2);
            if (byte >= 0) {
                out += static_cast<char>(byte);
                i += 2;
                continue;
            }
        } else if (text[i] == '+' && plusIsSpace) {
            out += ' ';
            continue;
        }
        out += text[i];
    }
    return out;
}

namespace {

// The path of an absolute-form target ("http://host/p", as sent through a proxy), which a server
// must accept like its origin form ("/p").
std::string_view originPath(std::string_view rawPath)
{
    for (const std::string_view scheme : {"http://", "https://"}) {
        if (platform::ascii::startsWithIgnoringCase(rawPath, scheme)) {
            const size_t slash = rawPath.find('/', scheme.size());
            return slash == std::string_view::npos ? std::string_view("/") : rawPath.substr(slash);
        }
    }
    return rawPath;
}

} // namespace

RequestTarget RequestTarget::parse(std::string_view target)
{
    RequestTarget result;
    const size_t question = target.find('?');
    result.m_rawPath = target.substr(0, question);
    result.m_path = percentDecoded(originPath(result.m_rawPath), false);
    if (question == std::string_view::npos)
        return result;
    result.m_hasQuery = true;
    std::string_view query = target.substr(question + 1);
    while (true) {
        const size_t end = query.find('&');
        const std::string_view pair = query.substr(0, end);
        const size_t equals = pair.find('=');
        Parameter parameter;
        parameter.rawName = pair.substr(0, equals);
        parameter.hasValue = equals != std::string_view::npos;
        parameter.rawValue = parameter.hasValue ? pair.substr(equals + 1) : std::string_view();
        parameter.name = percentDecoded(parameter.rawName, true);
        parameter.value = percentDecoded(parameter.rawValue, true);
        result.m_parameters.push_back(std::move(parameter));
        if (end == std::string_view::npos)
            break;
        query.remove_prefix(end + 1);
    }
    return result;
}

std::optional<std::string> RequestTarget::value(std::string_view name) const
{
    for (const Parameter& parameter : m_parameters) {
        if (parameter.name == name)
            return parameter.value;
    }
    return std::nullopt;
}

} // namespace dorvane::devserver
