#include "ThreadCensus.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>

namespace {

std::atomic<long> live{1};
std::atomic<long> peak{1};

using CreateFunction = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

struct Start {
    void* (*function)(void*);
    void* argument;
};

void Arrived()
{
    const long now = live.fetch_add(1) + 1;
    long highest = peak.load();
    while (now > highest && !peak.compare_exchange_weak(highest, now)) {
    }
}

// Counts the thread out however it ends: a return, or pthread_exit (which unwinds the stack).
void* CountedStart(void* parameter)
{
    const Start start = *static_cast<Start*>(parameter);
    delete static_cast<Start*>(parameter);
    struct Departure {
        ~Departure() { live.fetch_sub(1); }
    } departure;
    return start.function(start.argument);
}

} // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*function)(void*), void* argument)
{
    static const auto create = reinterpret_cast<CreateFunction>(::dlsym(RTLD_NEXT, "pthread_create"));
    auto* start = new Start{function, argument};
    Arrived();
    const int result = create(thread, attributes, CountedStart, start);
    if (result != 0) {
        live.fetch_sub(1);
        delete start;
    }
    return result;
}

namespace ThreadCensus {

long Live() { return live.load(); }
long Peak() { return peak.load(); }
void ResetPeak() { peak.store(live.load()); }

} // namespace ThreadCensus
