// Time bounds of the library's waits. Every wait of one process (an
// invocation of pinctl: asking a keeper, starting one, waiting for a line
// another process of ours is handing over, for a PWM channel's export)
// draws on one budget, so that however many pins or owners a command
// meets, the library waits WAIT_BUDGET_MS in all at most.
#ifndef LINUXBOARD_DEADLINE_H
#define LINUXBOARD_DEADLINE_H

#include <cstdint>
#include <ctime>

namespace linuxboard {

const int WAIT_BUDGET_MS = 5000;

class Deadline {
public:
    // ms from now.
    explicit Deadline(int ms);
    // What is left, in ms: 0 once passed.
    int leftMs() const;
    // When it passes, on the clock of monotonicNs().
    int64_t endNs() const;

private:
    struct timespec end;
};

// This process's budget, started by its first wait.
const Deadline& waitBudget();
// In a forked child: its budget starts afresh with its own first wait.
void restartWaitBudget();

// Now, in ns, on the system's monotonic clock (the same in every process).
int64_t monotonicNs();

// Sleeps ms, or what is left of d if that is less; false, without
// sleeping, once d has passed.
bool pauseWithin(const Deadline& d, int ms);

}  // namespace linuxboard

#endif
