// The one bound on what a command waits for: a pin's lock, a worker to be
// set up or to end. Every wait of one invocation draws on it, so that no
// command of pinctl waits longer than COMMAND_WAIT_MS in all, however many
// pins and workers it meets.
#ifndef PINCTL_DEADLINE_H
#define PINCTL_DEADLINE_H

const int COMMAND_WAIT_MS = 10000;

// What a wait of at most ms may take: ms, or what is left of this
// invocation's bound if that is less (0 once it has passed). The bound
// starts with the first wait; a forked worker starts its own.
int waitMs(int ms);

// Sleeps ms.
void sleepMilliseconds(int ms);

#endif
