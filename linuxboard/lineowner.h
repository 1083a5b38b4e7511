// Who holds the request of a pin's line, and the moves between holders.
// This file alone decides ownership: GPIOPin says what it needs of the
// line (an output kept for good, an input, a level read, a request of its
// own for an interrupt or a PWM), and these functions get it there.
//
// A line is held by nobody, by this process, by our keeper (an output kept
// after the process that set it ended), or by an interrupt worker of ours
// (which lends it to the keeper for reading). The kernel's line info
// tells a line in use, and its consumer label hints at whose: another
// program's (EBUSY at once), or, under our label, ours as an output (the
// keeper's) or an input (a worker's). A hint only: the line is ours when
// the keeper says it has it, or while a process of ours holds the line's
// transit lock (trust.h), as every process of ours does while it holds a
// line's request itself (between two holders, or for a worker's life).
// Such a line is waited for, within the process's wait budget
// (deadline.h); a line under our label that is neither is another's.
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
    int transit = -1;              // with US: the line's transit lock, shared
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
