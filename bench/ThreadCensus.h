// An exact count of this process's threads, for the benchmark that must show that a program never
// holds more threads than a limit. Linking ThreadCensus.cpp puts a wrapper around pthread_create
// that counts each thread from its creation to the return of its start function (or its
// pthread_exit), so short-lived threads that a sampler of /proc would miss are counted too.
#pragma once

namespace ThreadCensus {

// Threads alive now, the main thread included.
long Live();
// The most alive at once since the last ResetPeak (or the start).
long Peak();
// Starts a new peak at the present count.
void ResetPeak();

} // namespace ThreadCensus
