/// @file
/// The request flags of TAdvHttp as a set: each member adds one Internet request flag.
///
/// @code
/// TInternetFlags flags{ifKeepConnection, ifNoUi};
/// DWORD requestFlags = RequestFlagsOf(flags);   // INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_UI
/// @endcode
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "wininet.h"

/// The members of TInternetFlags, in order: member i is bit i of the set.
enum TInternetFlag : int {
    ifCacheIfNetFail, ///< adds INTERNET_FLAG_CACHE_IF_NET_FAIL
    ifDontCache, ///< adds INTERNET_FLAG_DONT_CACHE
    ifHyperLink, ///< adds INTERNET_FLAG_HYPERLINK
    ifIgnoreCertCnInvalid, ///< adds INTERNET_FLAG_IGNORE_CERT_CN_INVALID
    ifIgnoreCertDateInvalid, ///< adds INTERNET_FLAG_IGNORE_CERT_DATE_INVALID
    ifIgnoreRedirectToHttp, ///< adds INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP
    ifIgnoreRedirectToHttps, ///< adds INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS
    ifKeepConnection, ///< adds INTERNET_FLAG_KEEP_CONNECTION
    ifNeedFile, ///< adds INTERNET_FLAG_NEED_FILE
    ifNoAuth, ///< adds INTERNET_FLAG_NO_AUTH
    ifNoAutoRedirect, ///< adds INTERNET_FLAG_NO_AUTO_REDIRECT
    ifNoCacheWrite, ///< adds INTERNET_FLAG_NO_CACHE_WRITE
    ifNoCookies, ///< adds INTERNET_FLAG_NO_COOKIES
    ifNoUi, ///< adds INTERNET_FLAG_NO_UI
    ifPragmaNoCache, ///< adds INTERNET_FLAG_PRAGMA_NOCACHE
    ifReload, ///< adds INTERNET_FLAG_RELOAD
    ifResynchronize, ///< adds INTERNET_FLAG_RESYNCHRONIZE
};

/// The number of TInternetFlag members.
inline constexpr int InternetFlagCount = 17;

/// A member's name and the request flag it adds.
struct TInternetFlagInfo {
    std::string_view Name; ///< the member's name ("ifNoUi")
    DWORD RequestFlag;     ///< the request flag it adds (INTERNET_FLAG_NO_UI)
};

/// Member i's name and request flag. ifDontCache and ifNoCacheWrite carry the same flag.
inline constexpr std::array<TInternetFlagInfo, InternetFlagCount> InternetFlagTable{{
    {"ifCacheIfNetFail", INTERNET_FLAG_CACHE_IF_NET_FAIL},
    {"ifDontCache", INTERNET_FLAG_DONT_CACHE},
    {"ifHyperLink", INTERNET_FLAG_HYPERLINK},
    {"ifIgnoreCertCnInvalid", INTERNET_FLAG_IGNORE_CERT_CN_INVALID},
    {"ifIgnoreCertDateInvalid", INTERNET_FLAG_IGNORE_CERT_DATE_INVALID},
    {"ifIgnoreRedirectToHttp", INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP},
    {"ifIgnoreRedirectToHttps", INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS},
    {"ifKeepConnection", INTERNET_FLAG_KEEP_CONNECTION},
    {"ifNeedFile", INTERNET_FLAG_NEED_FILE},
    {"ifNoAuth", INTERNET_FLAG_NO_AUTH},
    {"ifNoAutoRedirect", INTERNET_FLAG_NO_AUTO_REDIRECT},
    {"ifNoCacheWrite", INTERNET_FLAG_NO_CACHE_WRITE},
    {"ifNoCookies", INTERNET_FLAG_NO_COOKIES},
    {"ifNoUi", INTERNET_FLAG_NO_UI},
    {"ifPragmaNoCache", INTERNET_FLAG_PRAGMA_NOCACHE},
    {"ifReload", INTERNET_FLAG_RELOAD},
    {"ifResynchronize", INTERNET_FLAG_RESYNCHRONIZE},
}};

/// A set of TInternetFlag, stored as bits (member i is bit i; 17 bits, three bytes' worth).
class TInternetFlags {
public:
    /// Every member present.
    static constexpr std::uint32_t AllBits = (std::uint32_t{1} << InternetFlagCount) - 1;

    constexpr TInternetFlags() = default; ///< The empty set.
    /// The set of these members.
    constexpr TInternetFlags(std::initializer_list<TInternetFlag> members)
    {
        for (TInternetFlag member : members)
            Include(member);
    }
    /// Bits beyond the last member are dropped.
    static constexpr TInternetFlags FromBits(std::uint32_t bits)
    {
        TInternetFlags flags;
        flags.FBits = bits & AllBits;
        return flags;
    }

    constexpr std::uint32_t Bits() const { return FBits; } ///< The set as bits (member i is bit i).
    /// True when member is in the set.
    constexpr bool Contains(TInternetFlag member) const { return (FBits & Bit(member)) != 0; }
    constexpr void Include(TInternetFlag member) { FBits |= Bit(member); } ///< Adds member.
    constexpr void Exclude(TInternetFlag member) { FBits &= ~Bit(member); } ///< Removes member.
    constexpr bool operator==(const TInternetFlags&) const = default;       ///< The same members.

private:
    static constexpr std::uint32_t Bit(TInternetFlag member) { return std::uint32_t{1} << member; }
    std::uint32_t FBits = 0;
};

/// The OR of the request flags of the members present, in member order, starting from 0.
constexpr DWORD RequestFlagsOf(TInternetFlags flags)
{
    DWORD requestFlags = 0;
    for (int member = 0; member < InternetFlagCount; ++member) {
        if (flags.Contains(static_cast<TInternetFlag>(member)))
            requestFlags |= InternetFlagTable[member].RequestFlag;
    }
    return requestFlags;
}
