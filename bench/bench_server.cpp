// The benchmarks' peer as a process of its own, so command-line clients can be measured against
// it: prints "port N" and serves until stdin closes.
#include <cstdio>
#include <unistd.h>

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
    char ignored[64];
    while (::read(STDIN_FILENO, ignored, sizeof ignored) > 0) {
    }
    return 0;
}
