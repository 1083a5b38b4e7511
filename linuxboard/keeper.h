// The keeper: one process per user that keeps what must outlive the
// process that set it up. The kernel lets a released line "revert to its
// default state", yet `pinctl set 6 1` must leave pin 6 driven after it
// exits: the keeper holds the line's request from then on, and drives it
// for later invocations, in one round trip each. It also lends the line of
// a running interrupt to readers, and switches a hardware PWM channel off
// when the worker that started it ends (protocol.h has the items and
// requests).
//
// It is started by the first item handed to it, and ends once it has none
// left. It runs in a session of its own, with its standard descriptors on
// /dev/null and no other descriptor than its items, its socket, its lock
// and an inotify watch, no signal blocked, and sleeps in poll() while
// idle. It lets go of the lines of a chip that goes away (it watches /dev),
// and of everything if its folder does, as at the end of a login session.
// `kill` of its id releases every line it holds.
#ifndef LINUXBOARD_KEEPER_H
#define LINUXBOARD_KEEPER_H

#include "protocol.h"

namespace linuxboard {

// Names in the keeper's folder: its socket, and the file it holds locked
// for its life (one keeper per folder).
extern const char KEEPER_SOCKET[];
extern const char KEEPER_LOCK[];

// Starts a keeper whose first item is req with fd; for a registration,
// *conn gets the caller's end of its connection. 0 once it serves, EEXIST
// if another keeper runs, or an errno value.
int startKeeper(const Request& req, int fd, int* conn, const Deadline& d);

}  // namespace linuxboard

#endif
