// The holder process and asking it for its line.
#include "holder.h"

#include "detach.h"
#include "owners.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace linuxboard {

// What the caller writes on the link to end its holder.
static const char QUIT = 'Q';
// How long endHolder waits for the holder to go.
static const int QUIT_WAIT_MS = 1000;

// fds: the listening socket, the line request, the link to the caller.
static void holdLine(const int* fds, int)
{
    int listenFd = fds[0];
    int line = fds[1];
    int link = fds[2];
    // Requests wait in the backlog while the caller uses the line.
    for (;;) {
        char byte = 0;
        ssize_t n = read(link, &byte, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 1 && byte == QUIT)
            _exit(0);
        if (n <= 0)
            break;
    }
    close(link);
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
            if (awaitAck(conn)) {
                // The name first, so that the taker finds it free once
                // this connection closes.
                close(listenFd);
                close(line);
                _exit(0);
            }
        }
        close(conn);
    }
}

int startHolder(const LineSite& site, int fd, int& link)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return errno;
    int listenFd = -1;
    int err = listenAt(lineOwnerName(site), listenFd);
    if (err == 0) {
        int keep[3] = {listenFd, fd, pair[1]};
        err = startDetached("varnel-hold", keep, 3, holdLine);
        close(listenFd);
    }
    close(pair[1]);
    if (err != 0) {
        close(pair[0]);
        return err;
    }
    link = pair[0];
    return 0;
}

void endHolder(int link)
{
    if (send(link, &QUIT, 1, MSG_NOSIGNAL) == 1) {
        struct pollfd p = {link, POLLIN, 0};
        char byte;
        while (poll(&p, 1, QUIT_WAIT_MS) > 0 && read(link, &byte, 1) > 0) {
        }
    }
    close(link);
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

int takeLine(const LineSite& site, int& fd)
{
    return askForLine(site, ASK_TAKE, fd);
}
int shareLine(const LineSite& site, int& fd)
{
    return askForLine(site, ASK_SHARE, fd);
}

}  // namespace linuxboard
