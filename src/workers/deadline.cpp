#include "deadline.h"

#include <ctime>
#include <unistd.h>

static long long nowMs()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

int waitMs(int ms)
{
    static pid_t owner = 0;
    static long long end = 0;
    if (owner != getpid()) {
        owner = getpid();
        end = nowMs() + COMMAND_WAIT_MS;
    }
    long long left = end - nowMs();
    if (left < 0)
        left = 0;
    return left < ms ? (int)left : ms;
}

void sleepMilliseconds(int ms)
{
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}
