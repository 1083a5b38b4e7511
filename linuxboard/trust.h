// Whom the library trusts, decided here alone.
//
// Our user is the effective user the process started with (as the kernel
// told it at exec): it names our lines' consumer label, our keeper's
// folder, the credentials we send and the senders we believe. A
// set-user-ID pinctl is its owner's, through and through.
//
// Nothing of ours (a request, a line, a PWM channel) leaves the process
// but for a socket in a folder of our own: a directory, not a link, owned
// by our user, that no one else may write, in a parent that is root's or
// ours and where no one else may remove or rename it (sticky, or written
// by its owner alone; for root, never a parent others may write at all).
// Only our user or root can have bound a socket in such a folder, so the
// peer is proven before anything is sent; and the kernel's credentials on
// each datagram (SO_PASSCRED) prove every reply.
//
// A line's consumer label is only a hint: anyone with access to the chip
// can request a line under our label. A line is ours when our keeper says
// it holds it, or while a process of ours holds its request itself: such a
// process holds the line's transit lock (a file in our folder) for as long
// as it does.
#ifndef LINUXBOARD_TRUST_H
#define LINUXBOARD_TRUST_H

#include <string>
#include <sys/types.h>

namespace linuxboard {

uid_t ourUser();
gid_t ourGroup();

// "varnel-<uid>": the consumer label of every line request of ours.
const char* ourConsumer();

// Whether the kernel vouches that a sender is our user or root.
bool isTrustedUser(uid_t uid);

// Where our keeper may listen, in the order looked at: for root
// /run/varnel, or /var/run/varnel; for another user the runtime folder
// /run/user/UID/varnel, then /tmp/varnel-UID.
int keeperFolderCount();
const char* keeperFolderPath(int i);

// 0 when dir is a folder of our own as above, else EPERM (or the errno
// value of looking). Async-signal-safe.
int checkOurFolder(const char* dir);

// Makes dir (mode 0700) if missing, then checks it as above.
// Async-signal-safe.
int makeOurFolder(const char* dir);

// The folder a new keeper takes (and where transit locks live): the first
// of the list whose parent may hold it, made if missing; 0, or an errno
// value (EPERM for one that is not ours).
int ourFolder(std::string& dir);

}  // namespace linuxboard

#endif
