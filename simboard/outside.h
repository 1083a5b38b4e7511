// What the world outside the board does to it: the operations behind
// pinsim, also used by the tests. They ignore injected faults (those are
// for the library's callers); each returns 0 or an errno-style code.
#ifndef SIMBOARD_OUTSIDE_H
#define SIMBOARD_OUTSIDE_H

#include "board.h"

#include <string>

namespace simboard {

// Every later library operation on pin reports code; 0 clears it.
int injectFail(int pin, int code);

// Ends the PWM on pin as if the hardware stopped it.
int stopPWMFromOutside(int pin);

// Applies a level from outside the board to the pin. A change is stored
// and, while a live process has the pin's interrupt armed, sent to it as
// an edge; edges keep their order across concurrent callers. Waits only
// for the pin's other edge writers, the state lock and room in the FIFO,
// all together at most kWaitLimitMs (then ETIMEDOUT: the level is stored
// if the state lock was had, the edge is lost). Defined in edges.cpp.
int applyLevel(int pin, int level);

// A fresh board: the state rewritten (even if corrupt), every interrupt
// ended and its FIFO removed.
int resetBoard();

// "pin=6 direction=out level=1 pwm=off irq=off fail=0"
std::string describePin(int pin, const PinState& p, const BoardSite& site);

// One line per usable pin, or only pin's line if pin >= 0.
int describePins(int pin, std::string& text);

// The folder of the libvarnel.so this process has loaded, this board's, as
// an absolute path; empty if the loader cannot tell.
std::string libraryFolder();

}  // namespace simboard

#endif
