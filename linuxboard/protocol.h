// The keeper's protocol: what any process of ours asks the user's keeper
// (keeper.h), and how.
//
// The keeper listens on a socket in a folder only its user (and root) can
// write: /run/varnel for root (/var/run/varnel where there is no /run),
// else the user's runtime folder /run/user/UID/varnel, else
// /tmp/varnel-UID. No other user can take its name, plant a socket there
// or even send to it. Each request is one datagram (SOCK_DGRAM), perhaps
// with descriptors, sent from a socket the kernel names for the reply,
// which is one datagram too: the keeper wakes once per request. Each end
// believes only its own user or root, by the sender's credentials the
// kernel passes along (SO_PASSCRED).
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
};

// err: 0, ESRCH for an item the keeper does not have, EBUSY for a lent
// line asked to change hands, or the errno value of what the keeper did.
struct Reply {
    int32_t err = 0;
    int32_t value = 0;
};

// What a keeper sends on a registration it drops (a newer PWM start took
// the channel, or the line's chip went) before closing it.
const char DROPPED = 'D';

// The folder a new keeper takes: the first of the above whose parent is
// there and safe, made (mode 0700) if missing; 0, or EPERM for one that is
// not a directory of ours that no one else may write.
int keeperFolder(std::string& dir);
// Makes dir, mode 0700, if missing; 0, or EPERM for one that is not a
// directory of ours that no one else may write. Async-signal-safe.
int makeKeeperFolder(const char* dir);

// Asks the keeper; sendFd, when not -1, goes along, and a descriptor that
// comes back lands in *receivedFd. ESRCH when no keeper runs.
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
// value. receivePacket fills fds[0] and fds[1] (-1 for none; any that
// came are closed when fds is null or it fails).
int sendPacket(int sock, const void* data, size_t size, const int* fds, int nfds, const Peer* to);
int receivePacket(int sock, void* data, size_t size, int* fds, Peer* from);

// Whether a sender is our own user or root.
bool isTrustedPeer(const Peer& peer);

}  // namespace linuxboard

#endif
