// The holder process and asking it for its line.
#include "holder.h"

#include "detach.h"
#include "owners.h"

#include <cerrno>
#include <unistd.h>

namespace linuxboard {

// fds: the listening socket, then the line request.
static void holdLine(const int* fds, int)
{
    int listenFd = fds[0];
    int line = fds[1];
    for (;;) {
        char ask = 0;
        int conn = acceptRequest(listenFd, ask);
        if (conn == ACCEPT_CLOSED)
            _exit(1);
        if (conn < 0)
            continue;
        if (ask == ASK_SHARE) {
            sendReply(conn, REPLY_FD, line);
        } else if (ask == ASK_TAKE) {
            sendReply(conn, REPLY_FD, line);
            // The name first, so that the taker finds it free once this
            // connection closes.
            close(listenFd);
            close(line);
            _exit(0);
        }
        close(conn);
    }
}

int startHolder(const LineSite& site, int fd)
{
    int listenFd = -1;
    int err = listenAt(lineOwnerName(site), listenFd);
    if (err != 0)
        return err;
    int keep[2] = {listenFd, fd};
    err = startDetached("varnel-hold", keep, 2, holdLine);
    close(listenFd);
    return err;
}

static int askForLine(const LineSite& site, char ask, int& fd)
{
    char reply = 0;
    int err = askOwner(lineOwnerName(site), ask, reply, fd);
    if (err != 0)
        return err;
    if (reply == REPLY_FD)
        return 0;
    return reply == REPLY_BUSY ? EBUSY : EPROTO;
}

int takeLine(const LineSite& site, int& fd) { return askForLine(site, ASK_TAKE, fd); }
int shareLine(const LineSite& site, int& fd) { return askForLine(site, ASK_SHARE, fd); }

}  // namespace linuxboard
