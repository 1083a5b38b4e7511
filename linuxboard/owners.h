// Asking the process that owns a line for it: a holder keeping an output
// line after its caller ended, or a worker whose interrupt watches it. The
// owner listens on a Unix socket and hands a duplicate of its line
// request's descriptor over with SCM_RIGHTS. Hardware PWM watchers listen
// the same way, to be told to switch their channel off.
//
// The sockets live in the abstract namespace: nothing in the file system
// for another user to plant, link, lock or leave stale, and a name that
// vanishes with its owner, however it ends. Anyone may bind an abstract
// name, so both ends check who the other is (SO_PEERCRED): a client
// believes only an owner of its own user or root, and an owner serves only
// clients of its own user or root. Another user who binds a name first can
// thus deny holding (the start of a holder fails with EADDRINUSE), but can
// neither obtain our line nor pass us a descriptor of theirs.
#ifndef LINUXBOARD_OWNERS_H
#define LINUXBOARD_OWNERS_H

#include "chips.h"

#include <string>

namespace linuxboard {

// What a client asks and what an owner replies, one byte each.
const char ASK_TAKE = 'T';    // hand the line over and let go of it
const char ASK_SHARE = 'S';   // lend a duplicate and keep the line
const char REPLY_FD = 'F';    // the descriptor comes with the byte
const char REPLY_BUSY = 'B';  // the owner is using the line and keeps it
const char REPLY_DONE = 'D';  // done (a PWM watcher has switched off)
const char ACK = 'A';         // the client has the descriptor it took

std::string lineOwnerName(const LineSite& site);
std::string pwmWatcherName(int chip, int channel);

// A listening socket bound to the name: 0 or an errno value.
int listenAt(const std::string& name, int& fd);

// Asks the owner of name. Returns 0 with its reply (and with REPLY_FD the
// descriptor, close-on-exec, in fd), ESRCH when no owner we trust listens,
// or an errno value. A descriptor taken is acknowledged, and then it waits,
// within a bound, until the owner has let go of the name, so that the name
// is free on return.
int askOwner(const std::string& name, char ask, char& reply, int& fd);

// Owner side; these make async-signal-safe calls only. acceptRequest
// waits for a connection and reads its request: the connection, when it
// comes from a client we trust; ACCEPT_NONE when there is nothing to serve
// this time; ACCEPT_CLOSED once the listening socket is shut down.
const int ACCEPT_NONE = -1;
const int ACCEPT_CLOSED = -2;
int acceptRequest(int listenFd, char& ask);
void sendReply(int conn, char reply, int fd);
// Whether the client acknowledged the descriptor it took: only then may
// the owner let go of its own, or the line would go with a client that
// gave up before it received it.
bool awaitAck(int conn);

}  // namespace linuxboard

#endif
