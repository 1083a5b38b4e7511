// Starting a process that outlives its caller and belongs to nobody: the
// holders of lines and the watchers of hardware PWM.
#ifndef LINUXBOARD_DETACH_H
#define LINUXBOARD_DETACH_H

namespace linuxboard {

// What the detached process runs: fds holds the kept descriptors, renumbered
// from 3 up in the order given. It may make async-signal-safe calls only
// (the caller may have threads), and ends with _exit.
using DetachedBody = void (*)(const int* fds, int count);

// Forks twice, so that the process is nobody's child, in a session of its
// own, with every signal at its default and unblocked, standard input,
// output and error on /dev/null, the working directory "/", the name given
// (as ps shows it), and no descriptor but the kept ones. Returns 0 once it
// has started, or an errno value.
int startDetached(const char* name, const int* keep, int count, DetachedBody body);

}  // namespace linuxboard

#endif
