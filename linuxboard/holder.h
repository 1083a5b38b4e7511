// Holders: the processes that keep an output line requested after the
// process that configured it has ended, since the kernel lets a released
// line "revert to its default state". One holder per line; it holds the
// request's descriptor and nothing else, listens under the line's owner
// name, lends a duplicate of the descriptor on ASK_SHARE, and on ASK_TAKE
// hands it over and ends once the taker has acknowledged it. It sleeps in
// read() or accept() and costs no CPU while idle; `kill` of its id releases
// the line.
#ifndef LINUXBOARD_HOLDER_H
#define LINUXBOARD_HOLDER_H

#include "chips.h"

namespace linuxboard {

// Starts a holder of the request open at fd (which the caller keeps too).
// Fails with EADDRINUSE while another owner listens under the line's name.
// The holder serves nobody while the caller still uses the line: only once
// the caller closes link (or ends) does it answer, so that no other process
// takes the request from under the caller.
int startHolder(const LineSite& site, int fd, int& link);

// Ends the holder started with link at once, the line staying with the
// caller; returns once the holder has let go of the line's name.
void endHolder(int link);

// Takes the line from whatever holder or owner of ours has it: 0 with the
// request's descriptor in fd, ESRCH when none has it, EBUSY when its owner
// is using it (a running interrupt), or an errno value.
int takeLine(const LineSite& site, int& fd);

// Borrows a duplicate of the request from its owner, who keeps the line.
int shareLine(const LineSite& site, int& fd);

}  // namespace linuxboard

#endif
