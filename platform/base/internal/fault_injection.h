// Failing on demand, in test builds only (DORVANE_FAULT_INJECTION): the n-th platform call of a
// kind fails as it would when the system is out of threads, memory or disk, so that tests can
// walk every failure path of a request or a sign-in. In other builds each check is a constant
// false and nothing else exists.
//
//   platform::fault::Arm(platform::fault::Kind::CreateEvent, 3); // the third event made from now fails
//   ... run the operation ...
//   platform::fault::Disarm();
#pragma once

#include "dorvane_http_export.h"

namespace platform::fault {

enum class Kind {
    CreateThread, // a thread the platform starts: CreateThread, the Internet layer's own threads
    CreateEvent,  // CreateEventA
    CurlSetup,    // a libcurl handle made, or an option or list entry set on one
    SqliteStep,   // a statement step or transaction statement of the settings hive
};
inline constexpr int KindCount = 4;

#ifdef DORVANE_FAULT_INJECTION
// Counts a call of the kind; true when it is the one armed to fail. Any thread.
// Exported from the component's library in these builds only, for the tests and the hive that
// arm and count them from outside it.
[[nodiscard]] DORVANE_HTTP_EXPORT bool Injected(Kind kind);
// From now: the n-th call of the kind fails (the first is 1); 0 only counts. Counts restart.
DORVANE_HTTP_EXPORT void Arm(Kind kind, long n);
// No call fails; counts restart.
DORVANE_HTTP_EXPORT void Disarm();
// Calls of the kind since the last Arm or Disarm.
[[nodiscard]] DORVANE_HTTP_EXPORT long Calls(Kind kind);
#else
[[nodiscard]] constexpr bool Injected(Kind) { return false; }
#endif

} // namespace platform::fault
