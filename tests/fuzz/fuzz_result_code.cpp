// The wizard's reading of the first answer, against an independent reading by the C library: for
// text of the accepted shape both must give the same number; for any other text the wizard's is
// -1, the "not a number" code.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>

#include "AccountRequests.h"

namespace {

// strtoll on the digits, with the sign and base the prefix gives; nullopt-like false when out of
// range.
bool Reference(const std::smatch& match, std::int64_t& value)
{
    const std::string sign = match[1];
    const std::string prefix = match[2];
    std::string digits = match[3];
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1)); // leading zeros count for nothing
    if (digits.size() > 40)
        return false;
    errno = 0;
    const long long magnitude = std::strtoll(digits.c_str(), nullptr, prefix.empty() ? 10 : 16);
    if (errno == ERANGE)
        return false;
    value = sign == "-" ? -static_cast<std::int64_t>(magnitude) : magnitude;
    return value >= INT32_MIN && value <= INT32_MAX;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string answer(reinterpret_cast<const char*>(data), size);
    const std::int32_t code = ParseResultCode(answer);

    static const std::regex decimal("^ *([+-]?)()([0-9]+)$");
    static const std::regex hexadecimal("^ *([+-]?)(\\$|0x|0X|x|X)([0-9A-Fa-f]+)$");
    std::smatch match;
    const bool shaped = std::regex_match(answer, match, decimal) || std::regex_match(answer, match, hexadecimal);
    std::int64_t expected = 0;
    if (shaped && Reference(match, expected)) {
        if (code != expected)
            std::abort();
    } else if (code != kNotANumber) {
        std::abort();
    }
    return 0;
}
