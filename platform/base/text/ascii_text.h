// ASCII text the same way everywhere: comparing names whatever their case (HTTP header names,
// URL schemes, module and registry root names), writing and reading bytes as hexadecimal digits,
// and a host as a URL writes it. Bytes from 0x80 compare as themselves, whatever the locale.
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
// Each URL escape "%XX" as the byte it stands for; any other "%" stays as written.
[[nodiscard]] std::string percentDecoded(std::string_view text);
// The host as a URL or a Host header writes it: an IPv6 address given bare ("::1") gets its
// brackets ("[::1]"); one given bracketed, a name and an IPv4 address stay as they are. A colon
// outside brackets can only be an address's, so the brackets are written exactly once.
[[nodiscard]] std::string hostInUrl(std::string_view host);

} // namespace platform::ascii
