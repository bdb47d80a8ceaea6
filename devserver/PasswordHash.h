#pragma once
// Salted, deliberately slow password hashes (Argon2id through libsodium). The service keeps only
// these strings; the password itself never reaches the database or the log.
//
//   auto hash = hashPassword("s3cret", PasswordCost::Interactive);
//   if (hash && verifyPassword(*hash, "s3cret")) ...
#include <optional>
#include <string>
#include <string_view>

namespace dorvane::devserver {

// How much work one hash costs. Interactive is libsodium's "interactive" limit (2 passes over
// 64 MiB, a fraction of a second): what the service uses by default. Minimum is the library's
// floor (1 pass over 8 KiB): still salted and in the same format, but cheap enough for test suites
// that create many accounts, and for sanitizer builds. Never for real accounts.
enum class PasswordCost { Interactive, Minimum };

// The self-describing hash string ("$argon2id$v=19$m=...$salt$hash"), or nothing when the
// library refused (out of memory, or it could not be initialised).
[[nodiscard]] std::optional<std::string> hashPassword(std::string_view password, PasswordCost cost);

// True when `password` produces `hash`; the cost is read from the hash string itself.
[[nodiscard]] bool verifyPassword(const std::string& hash, std::string_view password);

} // namespace dorvane::devserver
