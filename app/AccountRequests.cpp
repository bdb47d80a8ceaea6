#include "AccountRequests.h"

#include <limits>
#include <optional>

#include "ascii_text.h"

namespace {

int DigitValue(char c, int base)
{
    int value = -1;
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (c >= 'a' && c <= 'f')
        value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        value = c - 'A' + 10;
    return value < base ? value : -1;
}

// The base the digits are written in, after skipping its prefix.
int TakeBase(std::string_view& text)
{
    if (text.starts_with('$') || text.starts_with('x') || text.starts_with('X')) {
        text.remove_prefix(1);
        return 16;
    }
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        return 16;
    }
    return 10;
}

// The answer as a signed 32-bit number, or none (see ParseResultCode).
std::optional<std::int32_t> ReadNumber(std::string_view answer)
{
    while (answer.starts_with(' '))
        answer.remove_prefix(1);
    bool negative = false;
    if (answer.starts_with('+') || answer.starts_with('-')) {
        negative = answer.front() == '-';
        answer.remove_prefix(1);
    }
    const int base = TakeBase(answer);
    if (answer.empty())
        return std::nullopt;

    // The magnitude may reach 2^31 only when negative.
    const std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + (negative ? 1 : 0);
    std::int64_t magnitude = 0;
    for (const char c : answer) {
        const int digit = DigitValue(c, base);
        if (digit < 0)
            return std::nullopt;
        magnitude = magnitude * base + digit;
        if (magnitude > limit)
            return std::nullopt;
    }
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

}  // namespace

std::int32_t ParseResultCode(std::string_view answer)
{
    return ReadNumber(answer).value_or(kNotANumber);
}

bool CompletionRefused(std::string_view answer)
{
    const std::optional<std::int32_t> number = ReadNumber(answer);
    return number && *number <= 0;
}

std::string EncodeQueryValue(std::string_view value)
{
    std::string encoded;
    encoded.reserve(value.size() * 3);
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                                (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' ||
                                byte == '~';
        if (unreserved) {
            encoded += c;
        } else {
            encoded += '%';
            platform::ascii::appendHex(encoded, byte);
        }
    }
    return encoded;
}

std::string CreateLoginURL(const std::string& wizardURL, std::string_view login, std::string_view password,
                           std::string_view email)
{
    return wizardURL + "make_login.asp?userlogin=" + EncodeQueryValue(login) +
           "&userpassword=" + EncodeQueryValue(password) + "&email=" + EncodeQueryValue(email);
}

std::string CompleteAccountURL(const std::string& wizardURL, std::string_view id)
{
    return wizardURL + "make_usr.asp?id=" + EncodeQueryValue(id);
}
