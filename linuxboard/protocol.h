// The keeper's protocol: what any process of ours asks the user's keeper
// (keeper.h), and how.
//
// The keeper listens on a socket in a folder only its user (and root) can
// write: /run/varnel for root, else the user's runtime folder
// /run/user/UID/varnel, else /tmp/varnel-UID. No other user can take its
// name, plant a socket there or even connect. Each request is one packet
// (SOCK_SEQPACKET), perhaps with a descriptor, answered by one packet.
//
// What the keeper has, it has as items, each a line (a chip's device
// number and the line's offset) or a PWM channel (pwmchip N, channel):
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
    uint64_t chip = 0;   // the chip's device number, or the pwmchip's N
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

// The keeper's folder: made (mode 0700) if missing; 0, or EPERM for one
// that is not a directory of ours that no one else may write.
// Chosen once per process.
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

// One packet, with room for one descriptor, each way; used by both ends.
// 0, EPIPE once the other end has closed, or an errno value.
int sendPacket(int sock, const void* data, size_t size, int fd);
int receivePacket(int sock, void* data, size_t size, int* fd);

}  // namespace linuxboard

#endif
