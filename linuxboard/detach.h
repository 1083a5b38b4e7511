// Starting a process that outlives its caller and belongs to nobody: the
// keeper.
#ifndef LINUXBOARD_DETACH_H
#define LINUXBOARD_DETACH_H

#include "deadline.h"

namespace linuxboard {

// What the detached process runs: fds holds the kept descriptors,
// renumbered from 3 up in the order given. It may make async-signal-safe
// calls only (the caller may have threads), calls reportReady once set up
// (or failed), and ends with _exit.
using DetachedBody = void (*)(const int* fds, int count);

// Forks twice, so that the process is nobody's child, in a session of its
// own, with every signal at its default and unblocked, its soft limits of
// descriptors, CPU time and file size raised to the hard ones, normal
// scheduling on every CPU, its real and saved users and groups its
// effective ones, umask 077,
// standard input, output and error on /dev/null, the working directory
// "/", the name given (as ps shows it), and no descriptor but the kept
// ones. Returns what the process reports with reportReady: 0 once it is
// set up, or its errno value; ECHILD if it ended without a word,
// ETIMEDOUT if none came within d.
int startDetached(const char* name, const int* keep, int count, DetachedBody body,
                  const Deadline& d);

// In the detached process: tells the starter that it is set up (0) or why
// it is not; only the first report counts.
void reportReady(int err);

}  // namespace linuxboard

#endif
