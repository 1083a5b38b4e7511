// Interrupt delivery. Each armed pin has a FIFO $DIR/irq<PIN>; whoever
// changes the pin's outside level writes one line "<ns> <level>\n" into it
// (ns from CLOCK_MONOTONIC), and a thread of the owning process reads the
// lines as they come, debounces them and queues the edges for a second
// thread that calls the handler. A line "end\n" tells the reader its arming
// was replaced and it is to stop (the edges already queued are delivered).
#ifndef SIMBOARD_EDGES_H
#define SIMBOARD_EDGES_H

#include "board.h"
#include "varnel.h"

#include <cstddef>

namespace simboard {

// Edges waiting for a slow handler, per arming. Beyond this many the newest
// are dropped (not queued), so a handler that never returns costs bounded
// memory and no writer ever waits for it.
constexpr size_t kEdgeQueueCap = 65536;

struct Arming {
    int pin = -1;
    int type = 0;
    GPIO_Irq_Handler_Object* handler = nullptr;
    long long debounceMs = 0;
    int initialLevel = 0;
    int readFd = -1;
    int writeFd = -1;  // kept open so reads never see end-of-file
};

// Under the board lock: ends any earlier arming of the pin and makes and
// opens a fresh FIFO for this one.
int openArming(const BoardSite& site, Arming& arming);

// After the state is stored: starts the threads that deliver the edges.
// On failure the FIFO's descriptors are closed.
int startArming(const Arming& arming);

// Closes the descriptors of an arming that was never started.
void dropArming(Arming& arming);

// Tells the thread reading the pin's FIFO (if any) to stop, and removes
// the FIFO. Under the board lock.
int endArming(const BoardSite& site, int pin);

}  // namespace simboard

#endif
