// The two requests that create an account, and the reading of the first answer.
//
//   http.SetURL(CreateLoginURL(wizardURL, login, password, email));   // answers the account id
//   int32_t code = ParseResultCode(http.Text());   // > 0 id, 0 login taken, < 0 failure
//   http.SetURL(CompleteAccountURL(wizardURL, http.Text()));
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The result code the wizard reacts to when the answer is not a number.
inline constexpr std::int32_t kNotANumber = -1;

// The answer as a signed 32-bit number: leading spaces, an optional sign, then decimal digits or
// hexadecimal digits after "$", "x", "X", "0x" or "0X", and nothing after. Anything else, and
// any value outside the 32-bit range, gives kNotANumber.
[[nodiscard]] std::int32_t ParseResultCode(std::string_view answer);

// True when the answer to the second request says the account was not completed: a number not
// above 0, as the first answer's failures (the reference service: 0 unknown id, -1 malformed id,
// -6 storing failed). Any other whole answer completes it: the service need answer nothing.
[[nodiscard]] bool CompletionRefused(std::string_view answer);

// Percent-encodes every byte but A-Z a-z 0-9 - . _ ~, so a field's "&", "=", "#", "?", "%" or
// space reaches the server as the user typed it instead of changing the request.
[[nodiscard]] std::string EncodeQueryValue(std::string_view value);

// wizardURL + "make_login.asp?userlogin=L&userpassword=P&email=E", each value encoded.
[[nodiscard]] std::string CreateLoginURL(const std::string& wizardURL, std::string_view login,
                                         std::string_view password, std::string_view email);
// wizardURL + "make_usr.asp?id=A", the id encoded exactly as the server answered it.
[[nodiscard]] std::string CompleteAccountURL(const std::string& wizardURL, std::string_view id);
