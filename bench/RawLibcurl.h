// Raw libcurl, the yardstick of the component's benchmarks: each client does the work the
// component is asked to do, written as a careful libcurl program would. Each returns false when a
// transfer fails or a body is not the one expected.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace RawLibcurl {

// One GET on a new easy handle, the body kept in memory as the component keeps it: one string,
// reserved once the head announces the length, freed on return.
[[nodiscard]] bool KeepBody(const std::string& url, std::uint64_t expectedSize);

// count sequential GETs over one easy handle, so its connection is reused; each body kept.
[[nodiscard]] bool RepeatGets(const std::string& url, int count, std::string_view expectedBody);

// For reference: count sequential GETs through one multi handle, a new easy handle for each
// (the multi handle's pool reuses the connection), as the Internet client layer does.
[[nodiscard]] bool RepeatGetsNewEasyHandles(const std::string& url, int count, std::string_view expectedBody);

// One multi handle doing count GETs at once, each on a connection of its own, every body kept
// and checked.
[[nodiscard]] bool ManyAtOnce(const std::string& url, int count, std::string_view expectedBody);

} // namespace RawLibcurl
