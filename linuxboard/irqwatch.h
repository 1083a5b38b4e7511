// Interrupts: the kernel's edge detection on a requested input line, and a
// thread of the library that blocks in poll() on the request and calls the
// handler for each edge, in order, one call at a time (1 for rising, 2 for
// falling). The kernel buffers up to EVENT_BUFFER edges while a handler
// runs; beyond that it drops the oldest, which shows as a gap in the
// events' sequence numbers, and those edges are never delivered.
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

// Starts delivering the edges of the request at fd (which stays the
// caller's); 0 or an errno value.
int startIrqWatch(int pin, int fd, GPIO_Irq_Handler_Object* handler, IrqWatch*& watch);

// Stops the thread, after the handler call in progress, and frees watch.
void stopIrqWatch(IrqWatch* watch);

}  // namespace linuxboard

#endif
