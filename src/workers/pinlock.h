// Starts and stops of a pin's workers take turns: two starts on one pin at
// once would each name a record, and a stop removing a stale record could
// remove the one a start names just then, leaving a worker out of reach
// for good. A start holds the pin's lock from stopping the old workers to
// naming the new record; a stop holds it while it has a record to remove.
//
// The lock is an fcntl lock on /tmp/.pinctl-pin<N>.lock, a file that no
// other user can open: it must be a regular file (never a link), owned by
// us or by root, with one name and no access for anyone but its owner.
// Anything else, or a lock not had within PIN_LOCK_WAIT_MS, is a failure:
// a start or stop never goes ahead uncoordinated.
#ifndef PINCTL_PINLOCK_H
#define PINCTL_PINLOCK_H

const int PIN_LOCK_WAIT_MS = 5000;

class PinWorkersLock {
public:
    explicit PinWorkersLock(int pin);
    ~PinWorkersLock();
    PinWorkersLock(const PinWorkersLock&) = delete;
    PinWorkersLock& operator=(const PinWorkersLock&) = delete;

    // 0 once the lock is held, else an errno value.
    int result() const { return err; }

private:
    int fd = -1;
    int err = 0;
};

#endif
