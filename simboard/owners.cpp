// Who owns a PWM or an interrupt, and is that process still alive?
//
// A process that takes ownership of anything holds an fcntl write lock on
// the byte of $DIR/owners at offset = its pid, through a descriptor it
// never closes. The kernel drops the lock when the process exits, before
// it even becomes a zombie, so "some process holds byte P and it is P"
// means P is alive. A forked child inherits no fcntl locks and takes its
// own byte when it first owns something.
#include "board.h"

#include <fcntl.h>
#include <unistd.h>

namespace simboard {

int takeOwnership(BoardSite& site)
{
    const pid_t self = ::getpid();
    if (site.ownerLockPid == self)
        return 0;
    if (int err = tryLockByte(site.ownersFd, self, F_WRLCK))
        return err;
    site.ownerLockPid = self;
    return 0;
}

bool isLiveOwner(const BoardSite& site, pid_t pid)
{
    if (pid <= 0)
        return false;
    if (pid == ::getpid())
        return site.ownerLockPid == pid;
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = pid;
    fl.l_len = 1;
    if (::fcntl(site.ownersFd, F_GETLK, &fl) < 0)
        return false;
    return fl.l_type != F_UNLCK && fl.l_pid == pid;
}

}  // namespace simboard
