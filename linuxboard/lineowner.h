// Who holds the request of a pin's line, and the moves between holders.
// This file alone decides ownership: GPIOPin says what it needs of the
// line (an output kept for good, an input, a level read, a request of its
// own for an interrupt or a PWM), and these functions get it there.
//
// A line is held by nobody, by this process, by our keeper (an output kept
// after the process that set it ended), or by an interrupt worker of ours
// (which lends it to the keeper for reading). The kernel tells which from
// the line's consumer label, ours being "varnel-<euid>": not in use,
// another program's (EBUSY), or ours as an output (the keeper's) or an
// input (a worker's). A line of ours between two holders (another
// invocation in the middle of its own operation) is waited for, within
// the process's wait budget (deadline.h).
#ifndef LINUXBOARD_LINEOWNER_H
#define LINUXBOARD_LINEOWNER_H

#include "chips.h"
#include "registration.h"

namespace linuxboard {

enum class Holder { UNKNOWN, NOBODY, US, KEEPER, WORKER };

struct LineHold {
    Holder holder = Holder::UNKNOWN;
    bool output = false;           // the line is an output, as last seen
    int fd = -1;                   // with US: our request
    Registration* lent = nullptr;  // with US: our armed line, lent to the keeper
};

// Each returns 0 or an errno value: EBUSY for a line another program (or
// another user) holds, or one of ours that stays busy past the budget,
// ETIMEDOUT for a keeper that does not answer within it.

// The line an output: driven to level (-1: the level it has), by us, and
// with keep, by the keeper from now on.
int makeOutput(const LineSite& site, LineHold& h, int level, bool keep);

// The line an input; an interrupt worker's is one already.
int makeInput(const LineSite& site, LineHold& h);

// The line's level, from whoever holds it.
int readLine(const LineSite& site, LineHold& h, int& level);

// A fresh request of ours with config and the event buffer asked for,
// from whoever held the line (interrupts: the kernel sizes the buffer at
// the request).
int requestAfresh(const LineSite& site, LineHold& h, const LineConfig& config,
                  uint32_t eventBuffer);

// Lends our armed line to the keeper, for readers in other processes.
int lendLine(const LineSite& site, LineHold& h);

// No one of ours holds the line (it gives way to a PWM channel).
int freeLine(const LineSite& site, LineHold& h);

// Lets go of the request we hold, if any.
void letGo(LineHold& h);

}  // namespace linuxboard

#endif
