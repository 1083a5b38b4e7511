#include "waits.h"

#include "fileio.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace simboard {
namespace {

constexpr int kLongestStepMs = 32;
constexpr int32_t kBudgetUs = kProcessWaitMs * 1000;
constexpr int kRefillShare = 6;

// Atomics, not a lock: a forked child of a threaded process must never
// find the budget locked. Racing threads may misjudge it by a call's
// wait. 32 bits wide, as the board's processor has no wider atomics: the
// budget and the time waited since the last refill in microseconds, the
// time of the last refill in milliseconds (which wraps, harmlessly, every
// 49 days).
std::atomic<pid_t> budgetPid{0};
std::atomic<int32_t> budgetUs{kBudgetUs};
std::atomic<int32_t> waitedUs{0};
std::atomic<uint32_t> refilledAtMs{0};

uint32_t nowMs()
{
    return static_cast<uint32_t>(monotonicNs() / 1000000);
}

}  // namespace

int64_t waitBudgetNs()
{
    const uint32_t now = nowMs();
    if (budgetPid.exchange(::getpid()) != ::getpid()) {
        budgetUs = kBudgetUs;
        waitedUs = 0;
        refilledAtMs = now;
    }
    // Only time spent outside the waits refills: a process that does
    // nothing but wait has the budget, no more.
    const int64_t idleUs = int64_t{now - refilledAtMs.exchange(now)} * 1000 - waitedUs.exchange(0);
    int64_t left = budgetUs.load() + (idleUs > 0 ? idleUs / kRefillShare : 0);
    if (left > kBudgetUs)
        left = kBudgetUs;
    budgetUs = static_cast<int32_t>(left);
    return left * 1000;
}

void spendWaitBudget(int64_t ns)
{
    const int64_t us = ns / 1000;
    const int32_t spent = us > kBudgetUs ? kBudgetUs : static_cast<int32_t>(us);
    if (budgetUs.fetch_sub(spent) < spent)
        budgetUs = 0;
    if (waitedUs.fetch_add(spent) > kBudgetUs)
        waitedUs = kBudgetUs;
}

Deadline::Deadline(int ms)
{
    int64_t wait = int64_t{ms} * 1000000;
    const int64_t left = waitBudgetNs();
    endNs_ = monotonicNs() + (wait < left ? wait : left);
}

int tryLockByte(int fd, off_t byte, short type)
{
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    while (::fcntl(fd, F_SETLK, &fl) < 0) {
        if (errno != EINTR)
            return errnoOrEio();
    }
    return 0;
}

int64_t monotonicNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int64_t Deadline::leftNs() const
{
    const int64_t left = endNs_ - monotonicNs();
    return left > 0 ? left : 0;
}

int Deadline::leftMs() const
{
    const int64_t ms = (leftNs() + 999999) / 1000000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

bool backOff(int& stepMs, const Deadline& deadline)
{
    const int64_t left = deadline.leftNs();
    if (left <= 0)
        return false;
    int64_t ns = int64_t{stepMs} * 1000000;
    if (ns > left)
        ns = left;
    const struct timespec pause = {static_cast<time_t>(ns / 1000000000),
                                   static_cast<long>(ns % 1000000000)};
    const int64_t start = monotonicNs();
    nanosleep(&pause, nullptr);  // cut short by a signal: the loop tries again
    spendWaitBudget(monotonicNs() - start);
    if (stepMs < kLongestStepMs)
        stepMs *= 2;
    return true;
}

int lockByte(int fd, off_t byte, short type, const Deadline& deadline)
{
    // F_SETLKW cannot be bounded without a signal: try, and back off.
    for (int stepMs = 1;;) {
        const int err = tryLockByte(fd, byte, type);
        if (err != EAGAIN && err != EACCES)
            return err;
        if (!backOff(stepMs, deadline))
            return ETIMEDOUT;
    }
}

void unlockByte(int fd, off_t byte)
{
    tryLockByte(fd, byte, F_UNLCK);
}

int lockMutex(std::timed_mutex& mutex, const Deadline& deadline)
{
    if (mutex.try_lock())
        return 0;
    const int64_t start = monotonicNs();
    const bool locked = mutex.try_lock_for(std::chrono::nanoseconds(deadline.leftNs()));
    spendWaitBudget(monotonicNs() - start);
    return locked ? 0 : ETIMEDOUT;
}

}  // namespace simboard
