/* A preloaded shim that makes a program fail as a full disk or a kill -9 would, at a chosen
 * point: the Nth call that changes a file (write, sync, truncate, link, unlink, rename, lock).
 * For tests that can't mount a small file system, and to reach every point of an operation.
 *
 *   DORVANE_FAULT=kill:N    SIGKILL just before the Nth such call
 *   DORVANE_FAULT=full:N    the Nth and every later write or truncate fails with ENOSPC
 *   DORVANE_FAULT=count     no fault
 *   DORVANE_FAULT_REPORT=F  at a normal exit, writes the number of calls seen to F
 *
 * Calls on descriptors that aren't regular files (the standard streams) are not counted. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

enum mode { NONE, KILL, FULL };
static enum mode mode = NONE;
static long target = 0;
static long calls = 0;

__attribute__((constructor)) static void setup(void)
{
    const char *fault = getenv("DORVANE_FAULT");
    if (fault == NULL)
        return;
    if (strncmp(fault, "kill:", 5) == 0) {
        mode = KILL;
        target = atol(fault + 5);
    } else if (strncmp(fault, "full:", 5) == 0) {
        mode = FULL;
        target = atol(fault + 5);
    }
}

__attribute__((destructor)) static void report(void)
{
    const char *path = getenv("DORVANE_FAULT_REPORT");
    if (path == NULL)
        return;
    FILE *out = fopen(path, "w");
    if (out != NULL) {
        fprintf(out, "%ld\n", calls);
        fclose(out);
    }
}

static int is_file(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

/* Counts one call; true when it must fail for a full disk (the caller returns ENOSPC). */
static int fault(int is_write)
{
    ++calls;
    if (mode == KILL && calls == target)
        kill(getpid(), SIGKILL);
    return mode == FULL && is_write && calls >= target;
}

#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

ssize_t write(int fd, const void *buffer, size_t size)
{
    if (is_file(fd) && fault(1)) {
        errno = ENOSPC;
        return -1;
    }
    return NEXT(write)(fd, buffer, size);
}

ssize_t pwrite(int fd, const void *buffer, size_t size, off_t offset)
{
    if (is_file(fd) && fault(1)) {
        errno = ENOSPC;
        return -1;
    }
    return NEXT(pwrite)(fd, buffer, size, offset);
}

ssize_t pwrite64(int fd, const void *buffer, size_t size, off64_t offset)
{
    if (is_file(fd) && fault(1)) {
        errno = ENOSPC;
        return -1;
    }
    return NEXT(pwrite64)(fd, buffer, size, offset);
}

int ftruncate(int fd, off_t length)
{
    if (fault(1)) {
        errno = ENOSPC;
        return -1;
    }
    return NEXT(ftruncate)(fd, length);
}

int ftruncate64(int fd, off64_t length)
{
    if (fault(1)) {
        errno = ENOSPC;
        return -1;
    }
    return NEXT(ftruncate64)(fd, length);
}

int fsync(int fd)
{
    fault(0);
    return NEXT(fsync)(fd);
}

int fdatasync(int fd)
{
    fault(0);
    return NEXT(fdatasync)(fd);
}

int unlink(const char *path)
{
    fault(0);
    return NEXT(unlink)(path);
}

int link(const char *from, const char *to)
{
    fault(0);
    return NEXT(link)(from, to);
}

int rename(const char *from, const char *to)
{
    fault(0);
    return NEXT(rename)(from, to);
}

int flock(int fd, int operation)
{
    fault(0);
    return NEXT(flock)(fd, operation);
}
