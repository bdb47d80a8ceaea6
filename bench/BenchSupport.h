// What every benchmark needs around its measurements: the clock, medians, the process's memory
// and thread counts from /proc, the machine's CPU and load, and Markdown cells.
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

namespace Bench {

inline double Now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The middle value (the upper one of an even count); 0 for none.
inline double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// A field of /proc/self/status in its own unit (kB for memory, a count for Threads).
inline long StatusField(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0)
            return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
    }
    return 0;
}

inline double ResidentMiB() { return static_cast<double>(StatusField("VmRSS:")) / 1024.0; }
inline double PeakResidentMiB() { return static_cast<double>(StatusField("VmHWM:")) / 1024.0; }
// Starts a new peak: from here VmHWM is the peak since this call.
inline void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// The process's thread count, read the cheap way (one line of /proc/self/stat).
inline long ThreadCount()
{
    std::ifstream stat("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command (which may hold spaces) start at the last ')'; num_threads is the
    // 20th field, the 18th after it.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    const char* field = text.c_str() + close + 2;
    for (int skipped = 0; skipped < 17 && field != nullptr; ++skipped) {
        field = std::strchr(field, ' ');
        if (field != nullptr)
            ++field;
    }
    return field != nullptr ? std::strtol(field, nullptr, 10) : 0;
}

inline std::string LoadAverage()
{
    std::ifstream loadavg("/proc/loadavg");
    double one = 0, five = 0, fifteen = 0;
    loadavg >> one >> five >> fifteen;
    char text[64];
    std::snprintf(text, sizeof text, "%.2f, %.2f, %.2f", one, five, fifteen);
    return text;
}

// The first CPU's "model name" in /proc/cpuinfo, read once.
inline const std::string& CpuModel()
{
    static const std::string model = [] {
        std::ifstream cpuinfo("/proc/cpuinfo");
        std::string line;
        while (std::getline(cpuinfo, line)) {
            const std::size_t colon = line.find(':');
            if (line.rfind("model name", 0) == 0 && colon != std::string::npos)
                return line.substr(std::min(line.size(), line.find_first_not_of(" \t", colon + 1)));
        }
        return std::string("unknown CPU");
    }();
    return model;
}

// What a table's figures were measured on, for its header line: the CPU and the load average now.
inline std::string Conditions() { return CpuModel() + ", load average " + LoadAverage(); }

// Raises the open-file limit as far as allowed (a thousand connections at once need thousands of
// descriptors on both sides); returns the limit in force.
inline long RaiseOpenFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
    return static_cast<long>(limit.rlim_cur);
}

inline std::string Cell(double value, int precision)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", precision, value);
    return text;
}

inline const char* Verdict(bool met) { return met ? "met" : "**not met**"; }

} // namespace Bench
