// A worker's registration with its keeper (protocol.h): the line of an
// interrupt worker lent for reading, or the hardware PWM channel the
// keeper switches off once the worker ends. It lasts as long as the worker
// keeps its connection open, so it ends with the worker however the worker
// ends. Should the keeper itself end (killed), a thread of the library,
// asleep in poll() until then, registers the item again with a new one.
#ifndef LINUXBOARD_REGISTRATION_H
#define LINUXBOARD_REGISTRATION_H

#include "protocol.h"

namespace linuxboard {

struct Registration;

// Registers req with fd (which stays the caller's), starting the keeper if
// none runs; 0 or an errno value.
int startRegistration(const Request& req, int fd, Registration*& reg, const Deadline& d);

// False once the keeper has dropped the item: a newer start took the
// channel, or the line's chip went.
bool isRegistered(const Registration* reg);

// Ends the registration (the keeper then drops the item, switching a
// channel off) and frees reg.
void endRegistration(Registration* reg);

// In a forked child: closes the registration's descriptors, leaving the
// parent's registration as it is.
void forgetRegistration(Registration* reg);

}  // namespace linuxboard

#endif
