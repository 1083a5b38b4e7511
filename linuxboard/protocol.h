// The keeper's protocol: what any process of ours asks the user's keeper
// (keeper.h), and how.
//
// The keeper listens on a socket in a folder of our own (trust.h): no
// other user can take its name, plant a socket there or even send to it,
// and nothing is sent to a socket anywhere else. Each request is one
// datagram (SOCK_DGRAM), perhaps with descriptors, sent from a socket the
// kernel names for the reply, which is one datagram too: the keeper wakes
// once per request and answers each at once, with an error where it
// cannot take it. Each end believes only its own user or root, by the
// credentials the kernel passes along (SO_PASSCRED): a client sends its
// effective user's, as a set-user-ID program must to be known as itself.
//
// A request carries the time by which its sender stops waiting for the
// reply, less a margin for the reply's way back: the keeper does nothing
// of a request it finds past that time, so that what a client reports as
// failed (it timed out) is never carried out later.
//
// What the keeper has, it has as items, each a line (gpiochip N and the
// line's offset) or a PWM channel (pwmchip N, channel):
//   held     a line request it keeps for good: outputs pinctl set
//   lent     a line an interrupt worker watches, lent for reading
//   watched  a PWM channel it switches off when its worker ends
// Lent and watched items are registrations: they last as long as the
// worker keeps open the connection it registered them on.
#ifndef LINUXBOARD_PROTOCOL_H
#define LINUXBOARD_PROTOCOL_H

#include "deadline.h"
#include "trust.h"

#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>

namespace linuxboard {

enum KeeperOp : uint8_t {
    KEEP = 1,  // hold the line request that comes along
    DRIVE,     // drive a held line to arg (0 or 1)
    READ,      // read a held or lent line: the level in Reply::value
    RELEASE,   // let go of a held line, made an input first if arg is 1
    TAKE,      // hand a held line's request over (it comes with the reply)
    LEND,      // registration: the interrupt worker's line that comes along
    WATCH,     // registration: the channel whose "enable" file comes along
    UNWATCH,   // switch a watched channel off and drop it
};

struct Request {
    uint8_t op = 0;
    int8_t arg = 0;
    uint16_t unused = 0;
    uint32_t index = 0;  // the line's offset, or the PWM channel
    uint64_t chip = 0;   // N of gpiochipN, or of pwmchipN
    int64_t dueNs = 0;   // CLOCK_MONOTONIC: nothing is done after this
};

// How long before its sender gives up a request must be served: the time
// its reply has to come back.
const int REPLY_MARGIN_MS = 500;

// err: 0, ESRCH for an item the keeper does not have, EBUSY for a lent
// line asked to change hands, or the errno value of what the keeper did.
struct Reply {
    int32_t err = 0;
    int32_t value = 0;
};

// What a keeper sends on a registration it drops (a newer PWM start took
// the channel, or the line's chip went) before closing it.
const char DROPPED = 'D';

// Asks the keeper; sendFd, when not -1, goes along, and a descriptor that
// comes back lands in *receivedFd. ESRCH when no keeper runs, ETIMEDOUT
// (nothing sent) when d leaves less than the reply's margin.
int askKeeper(const Request& req, int sendFd, Reply& reply, int* receivedFd, const Deadline& d);

// Gives the keeper an item (KEEP, LEND or WATCH, with fd), starting the
// keeper if none runs. For a registration, *conn gets the connection the
// caller keeps open for as long as the item is to last.
int handToKeeper(const Request& req, int fd, int* conn, const Deadline& d);

// Who sent a datagram, or where one goes: the address, and the sender's
// user as the kernel vouches for it.
struct Peer {
    sockaddr_un addr = {};
    socklen_t len = 0;
    uid_t uid = (uid_t)-1;
};

// One datagram, with up to two descriptors; used by both ends, never
// waiting. 0, EAGAIN, EPIPE once the other end has gone, or an errno
// value. sendPacket sends our own credentials with it (those of our user,
// not the real user of a set-user-ID start). receivePacket fills fds[0]
// and fds[1] (-1 for none; any that came are closed when fds is null or it
// fails) and from, whenever a datagram came: EMFILE when its descriptors
// could not all be taken, EPROTO when it is not of the size expected.
int sendPacket(int sock, const void* data, size_t size, const int* fds, int nfds, const Peer* to);
int receivePacket(int sock, void* data, size_t size, int* fds, Peer* from);

// Whether a sender is our own user or root.
bool isTrustedPeer(const Peer& peer);

}  // namespace linuxboard

#endif
