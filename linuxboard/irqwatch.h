// Interrupts: the kernel's edge detection on a requested input line, and a
// thread of the library that blocks in poll() on the request and calls the
// handler for each edge, in order, one call at a time (1 for rising, 2 for
// falling). The kernel buffers up to EVENT_BUFFER edges while a handler
// runs; beyond that it drops the oldest, which shows as a gap in the
// events' sequence numbers, and those edges are never delivered.
//
// Should the line's chip go away, the thread waits, costing nothing, for a
// chip to come back under the map's name, and arms the pin afresh on it
// (rearm); then it delivers again.
//
// The thread blocks every signal, so that signals meant for the process
// reach its own threads, except while it calls the handler: then it has
// the signal mask of the thread that armed the interrupt, which is what a
// command the handler starts inherits.
#ifndef LINUXBOARD_IRQWATCH_H
#define LINUXBOARD_IRQWATCH_H

#include "varnel.h"

#include <cstdint>

namespace linuxboard {

// What the kernel is asked to buffer: the most it keeps for one line.
const uint32_t EVENT_BUFFER = 1024;

struct IrqWatch;

// Requests and arms the pin's line afresh after its chip came back: 0 with
// fd the new request (which stays the caller's), EAGAIN to be asked again
// shortly, or why the chip is not there yet.
using Rearm = int (*)(int pin, int& fd);

// Starts delivering the edges of the request at fd (which stays the
// caller's); 0 or an errno value.
int startIrqWatch(int pin, int fd, GPIO_Irq_Handler_Object* handler, Rearm rearm, IrqWatch*& watch);

// Stops the thread, after the handler call in progress, and frees watch.
void stopIrqWatch(IrqWatch* watch);

}  // namespace linuxboard

#endif
