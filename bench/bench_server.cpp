// The benchmarks' peer as a process of its own, so that it neither shares the client's thread
// count nor its memory: prints "port N", then answers each "usage" line on stdin with
// "usage CPU-SECONDS RESPONSES CONNECTIONS" (its event loop's CPU time, whole responses and
// connections accepted so far), and serves until stdin closes.
#include <cstdio>
#include <cstring>

#include "LoopbackServer.h"

int main()
{
    LoopbackServer server;
    if (server.Port() == 0) {
        std::fputs("bench_server: can't listen on 127.0.0.1\n", stderr);
        return 1;
    }
    std::printf("port %d\n", server.Port());
    std::fflush(stdout);
    char line[64];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        if (std::strncmp(line, "usage", 5) == 0) {
            const LoopbackServer::Usage usage = server.Used();
            std::printf("usage %.9f %llu %llu\n", usage.cpuSeconds, static_cast<unsigned long long>(usage.responses),
                        static_cast<unsigned long long>(usage.connections));
            std::fflush(stdout);
        }
    }
    return 0;
}
