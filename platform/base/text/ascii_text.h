// ASCII text the same way everywhere: comparing names whatever their case (HTTP header names,
// URL schemes, module and registry root names) and writing and reading bytes as hexadecimal digits. Bytes
// from 0x80 compare as themselves, whatever the locale.
#pragma once

#include <string>
#include <string_view>

namespace platform::ascii {

[[nodiscard]] char toLower(char c);
[[nodiscard]] bool equalIgnoringCase(std::string_view a, std::string_view b);
[[nodiscard]] bool startsWithIgnoringCase(std::string_view text, std::string_view prefix);
// Appends the byte's two upper-case hexadecimal digits ("%" + them is a URL escape).
void appendHex(std::string& text, unsigned char byte);
// The value of a hexadecimal digit (either case), or -1 for any other character.
[[nodiscard]] int hexValue(char c);

} // namespace platform::ascii
