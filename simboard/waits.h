// Bounded waits. Nothing on the board waits for another process longer
// than kWaitLimitMs: a lock held by someone else, or a FIFO nobody drains,
// makes the operation fail with ETIMEDOUT instead. Waiting sleeps with a
// growing back-off, so a long wait costs no CPU to speak of.
//
// Nor does one process wait longer than about kProcessWaitMs in all: its
// waits draw on one budget, refilled at a sixth of the time that passes
// outside them.
// An invocation of pinctl that sweeps every pin while another process
// holds the board thus fails its later calls at once, as a timed-out call
// fails, while a long-lived worker still has kWaitLimitMs for each call.
#ifndef SIMBOARD_WAITS_H
#define SIMBOARD_WAITS_H

#include <sys/types.h>

#include <cstdint>
#include <mutex>

namespace simboard {

constexpr int kWaitLimitMs = 4000;
constexpr int kProcessWaitMs = 10000;

int64_t monotonicNs();

// What is left of this process's budget of waits, in ns; and spending it.
int64_t waitBudgetNs();
void spendWaitBudget(int64_t ns);

// A point in CLOCK_MONOTONIC time, kWaitLimitMs from its making by default,
// or sooner if the process's budget of waits has less left.
class Deadline {
public:
    explicit Deadline(int ms = kWaitLimitMs);
    int64_t leftNs() const;
    // Time left in whole milliseconds, rounded up; 0 once it has passed.
    int leftMs() const;

private:
    int64_t endNs_;
};

// Takes an fcntl lock of type (F_RDLCK or F_WRLCK) on one byte of fd by the
// deadline; 0, ETIMEDOUT, or the errno of a failing call.
int lockByte(int fd, off_t byte, short type, const Deadline& deadline);
void unlockByte(int fd, off_t byte);

// The same without waiting: EAGAIN or EACCES while another process holds it.
int tryLockByte(int fd, off_t byte, short type);

// Locks mutex by the deadline; 0 or ETIMEDOUT.
int lockMutex(std::timed_mutex& mutex, const Deadline& deadline);

// Sleeps for the next step of a back-off (1 ms, doubling up to 32 ms),
// never past the deadline; false once the deadline has passed.
bool backOff(int& stepMs, const Deadline& deadline);

}  // namespace simboard

#endif
