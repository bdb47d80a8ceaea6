// Built only with DORVANE_FAULT_INJECTION (test builds).
#include "fault_injection.h"

#include <array>
#include <atomic>

namespace platform::fault {

namespace {

struct Counter {
    std::atomic<long> calls{0};
    std::atomic<long> failAt{0};
};

std::array<Counter, KindCount>& counters()
{
    static std::array<Counter, KindCount> all;
    return all;
}

Counter& counter(Kind kind)
{
    return counters()[static_cast<std::size_t>(kind)];
}

} // namespace

bool Injected(Kind kind)
{
    Counter& c = counter(kind);
    const long call = ++c.calls;
    return call == c.failAt.load();
}

void Arm(Kind kind, long n)
{
    Disarm();
    counter(kind).failAt = n;
}

void Disarm()
{
    for (Counter& c : counters()) {
        c.failAt = 0;
        c.calls = 0;
    }
}

long Calls(Kind kind)
{
    return counter(kind).calls.load();
}

} // namespace platform::fault
