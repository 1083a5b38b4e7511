// A pin's files under /tmp, named in this one place, and the lock through
// which starts and stops of the pin's workers take turns:
//   /tmp/pin<N>_pwm_pid, /tmp/pin<N>_irq_pid     the worker records
//   /tmp/.pin<N>_pwm_pid.draft, ...              a record being written
//   /tmp/.pinctl-pin<N>.lock                     the pin's lock
//
// Two starts on one pin at once would each name a record, and a stop
// removing a stale record could remove the one a start names just then,
// leaving a worker out of reach for good. A start holds the pin's lock
// from stopping the old workers to naming the new record; a stop holds it
// while it has a record to remove.
//
// The lock is an fcntl lock on a file that no other user can open: it
// must be a regular file (never a link), owned by us or by root, with one
// name and no access for anyone but its owner. So it belongs to the first
// user who started or stopped a worker on the pin, and only that user and
// root can start or stop workers on the pin until the file is removed:
// root takes another user's file over once no start or stop of theirs
// holds it, and replaces anything else found at its name. Anything else,
// or a lock not had in time, is a failure: a start or stop never goes
// ahead uncoordinated.
//
// Nor does one go ahead in a /tmp where another user may remove or rename
// our files: one writable by others must have the sticky bit and belong
// to root or to us (a /tmp that is root's or our link to a folder: that
// folder).
#ifndef PINCTL_PINFILES_H
#define PINCTL_PINFILES_H

#include <string>

// What a worker is: the kind's name in messages and its word in the
// record's path (the same word as the command that starts it).
struct WorkerKind {
    const char* name;
    const char* word;
};
extern const WorkerKind PWM_WORKER;
extern const WorkerKind IRQ_WORKER;

const int PIN_LOCK_WAIT_MS = 5000;

std::string recordPath(const WorkerKind& kind, int pin);

class PinFiles {
public:
    explicit PinFiles(int pin) : pin(pin) {}
    ~PinFiles();
    PinFiles(const PinFiles&) = delete;
    PinFiles& operator=(const PinFiles&) = delete;

    std::string record(const WorkerKind& kind) const { return recordPath(kind, pin); }
    std::string draft(const WorkerKind& kind) const;

    // Takes the pin's lock for as long as this object lives: 0, or an
    // errno value with what failed ("checking /tmp", "locking pin").
    int lock(std::string& what);

    const int pin;

private:
    int fd = -1;
};

#endif
