#include "deadline.h"

namespace linuxboard {

static const long NS_PER_MS = 1000000;
static const long NS_PER_S = 1000000000;

Deadline::Deadline(int ms)
{
    clock_gettime(CLOCK_MONOTONIC, &end);
    long ns = end.tv_nsec + (ms % 1000) * NS_PER_MS;
    end.tv_sec += ms / 1000 + ns / NS_PER_S;
    end.tv_nsec = ns % NS_PER_S;
}

int Deadline::leftMs() const
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ms =
        (long long)(end.tv_sec - now.tv_sec) * 1000 + (end.tv_nsec - now.tv_nsec) / NS_PER_MS;
    return ms > 0 ? (int)ms : 0;
}

int64_t Deadline::endNs() const
{
    return (int64_t)end.tv_sec * NS_PER_S + end.tv_nsec;
}

int64_t monotonicNs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * NS_PER_S + now.tv_nsec;
}

static bool started = false;

const Deadline& waitBudget()
{
    static Deadline budget(WAIT_BUDGET_MS);
    if (!started) {
        started = true;
        budget = Deadline(WAIT_BUDGET_MS);
    }
    return budget;
}

void restartWaitBudget()
{
    started = false;
}

bool pauseWithin(const Deadline& d, int ms)
{
    int left = d.leftMs();
    if (left == 0)
        return false;
    if (ms > left)
        ms = left;
    struct timespec t = {ms / 1000, (ms % 1000) * NS_PER_MS};
    nanosleep(&t, nullptr);
    return true;
}

}  // namespace linuxboard
