#include "PasswordHash.h"

#include <mutex>
#include <sodium.h>

namespace dorvane::devserver {
namespace {

// sodium_init must run before any other call; it is idempotent, but once is enough.
[[nodiscard]] bool sodiumReady()
{
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] { ready = sodium_init() >= 0; });
    return ready;
}

struct Limits {
    unsigned long long operations;
    size_t memory;
};

Limits limitsFor(PasswordCost cost)
{
    switch (cost) {
    case PasswordCost::Minimum:
        return {crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN};
    case PasswordCost::Interactive:
        break;
    }
    return {crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE};
}

} // namespace

std::optional<std::string> hashPassword(std::string_view password, PasswordCost cost)
{
    if (!sodiumReady())
        return std::nullopt;
    const Limits limits = limitsFor(cost);
    char out[crypto_pwhash_STRBYTES] = {};
    if (crypto_pwhash_str(out, password.data(), password.size(), limits.operations, limits.memory) != 0)
        return std::nullopt;
    return std::string(out);
}

bool verifyPassword(const std::string& hash, std::string_view password)
{
    if (!sodiumReady())
        return false;
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

} // namespace dorvane::devserver
