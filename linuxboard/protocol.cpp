// The keeper's folder, and asking the keeper.
#include "protocol.h"

#include "keeper.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/auxv.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace linuxboard {

// The descriptors a packet carries, and who sent it.
static const int FDS_MAX = 2;

int sendPacket(int sock, const void* data, size_t size, const int* fds, int nfds, const Peer* to)
{
    struct iovec iov = {const_cast<void*>(data), size};
    struct msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (to != nullptr) {
        msg.msg_name = const_cast<sockaddr_un*>(&to->addr);
        msg.msg_namelen = to->len;
    }
    alignas(cmsghdr) char cbuf[CMSG_SPACE(FDS_MAX * sizeof(int)) + CMSG_SPACE(sizeof(ucred))] = {};
    msg.msg_control = cbuf;
    cmsghdr* c = nullptr;
    if (nfds > 0) {
        msg.msg_controllen = CMSG_SPACE(nfds * sizeof(int));
        c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(nfds * sizeof(int));
        memcpy(CMSG_DATA(c), fds, nfds * sizeof(int));
    }
    // The kernel would vouch for our real user; a set-user-ID start is
    // known as its effective one, ours.
    if (getauxval(AT_UID) != ourUser() || getauxval(AT_GID) != ourGroup()) {
        ucred cred = {getpid(), ourUser(), ourGroup()};
        msg.msg_controllen += CMSG_SPACE(sizeof cred);
        c = c == nullptr ? CMSG_FIRSTHDR(&msg) : CMSG_NXTHDR(&msg, c);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_CREDENTIALS;
        c->cmsg_len = CMSG_LEN(sizeof cred);
        memcpy(CMSG_DATA(c), &cred, sizeof cred);
    }
    if (msg.msg_controllen == 0)
        msg.msg_control = nullptr;
    ssize_t n;
    do {
        n = sendmsg(sock, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return errno == ECONNRESET ? EPIPE : errno;
    return (size_t)n == size ? 0 : EPROTO;
}

int receivePacket(int sock, void* data, size_t size, int* fds, Peer* from)
{
    if (fds != nullptr)
        fds[0] = fds[1] = -1;
    struct iovec iov = {data, size};
    struct msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    Peer sender;
    msg.msg_name = &sender.addr;
    msg.msg_namelen = sizeof sender.addr;
    alignas(cmsghdr) char cbuf[CMSG_SPACE(FDS_MAX * sizeof(int)) + CMSG_SPACE(sizeof(ucred))] = {};
    msg.msg_control = cbuf;
    msg.msg_controllen = sizeof cbuf;
    ssize_t n;
    do {
        n = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return errno == ECONNRESET ? EPIPE : errno;
    sender.len = msg.msg_namelen;
    int got[FDS_MAX] = {-1, -1};
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET)
            continue;
        size_t len = c->cmsg_len - CMSG_LEN(0);
        if (c->cmsg_type == SCM_RIGHTS && len <= sizeof got)
            memcpy(got, CMSG_DATA(c), len);
        else if (c->cmsg_type == SCM_CREDENTIALS && len == sizeof(ucred))
            sender.uid = reinterpret_cast<const ucred*>(CMSG_DATA(c))->uid;
    }
    int err = n == 0                                             ? EPIPE
              : msg.msg_flags & MSG_CTRUNC                       ? EMFILE
              : (size_t)n != size || (msg.msg_flags & MSG_TRUNC) ? EPROTO
                                                                 : 0;
    for (int i = 0; i < FDS_MAX; i++) {
        if (got[i] >= 0 && (err != 0 || fds == nullptr))
            close(got[i]);
        if (fds != nullptr)
            fds[i] = err == 0 ? got[i] : -1;
    }
    if (from != nullptr)
        *from = sender;
    return err;
}

bool isTrustedPeer(const Peer& peer)
{
    return isTrustedUser(peer.uid);
}

// A socket for one request to the keeper: bound, as the kernel binds it,
// to a name of its own for the reply, and connected to the keeper's, so
// that nothing but the keeper's reply can come to it.
static int openRequestSocket(int& sock)
{
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0)
        return errno;
    int on = 1;
    if (setsockopt(s, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        int err = errno;
        close(s);
        return err;
    }
    sock = s;
    return 0;
}

// Connects sock to the keeper in folder, if that is a folder of ours
// (trust.h): only our user or root can have bound a socket there. ESRCH
// when no keeper of ours is there.
static int connectToKeeper(int sock, const char* folder)
{
    if (checkOurFolder(folder) != 0)
        return ESRCH;
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s/%s", folder, KEEPER_SOCKET);
    if (connect(sock, (const sockaddr*)&addr, sizeof addr) == 0)
        return 0;
    return errno == ENOENT || errno == ECONNREFUSED ? ESRCH : errno;
}

// Sends req to the keeper, waiting within d while its queue is full (and
// the reply would still have time to come): ESRCH when it has gone.
static int sendRequest(int sock, const Request& req, const int* fds, int nfds, const Deadline& d)
{
    for (;;) {
        int err = sendPacket(sock, &req, sizeof req, fds, nfds, nullptr);
        if (err == EAGAIN && d.leftMs() > REPLY_MARGIN_MS && pauseWithin(d, 2))
            continue;
        return err == ECONNREFUSED || err == EPIPE ? ESRCH : err == EAGAIN ? ETIMEDOUT : err;
    }
}

// The keeper's reply, within d; whatever else comes is dropped. The
// keeper has mostly replied already when this is called: it preempted the
// sender as it woke.
static int receiveReply(int sock, Reply& reply, int* receivedFd, const Deadline& d)
{
    for (;;) {
        int fds[FDS_MAX] = {-1, -1};
        Peer from;
        int err = receivePacket(sock, &reply, sizeof reply, fds, &from);
        if (err == 0 && !isTrustedPeer(from))
            err = EINVAL;
        if (err == 0 && receivedFd != nullptr)
            *receivedFd = fds[0];
        for (int i = err == 0 && receivedFd != nullptr ? 1 : 0; i < FDS_MAX; i++) {
            if (fds[i] >= 0)
                close(fds[i]);
        }
        if (err != EAGAIN && err != EINVAL)
            return err;
        struct pollfd p = {sock, POLLIN, 0};
        int left = d.leftMs();
        int r = left > 0 ? poll(&p, 1, left) : 0;
        if (r == 0)
            return ETIMEDOUT;
        if (r < 0 && errno != EINTR)
            return errno;
    }
}

// One request to our keeper, wherever it listens, and its reply: ESRCH
// when no keeper runs. Nothing is sent once too little of d is left for a
// reply to come, and the keeper is told when that is.
static int exchange(const Request& req, const int* fds, int nfds, Reply& reply, int* receivedFd,
                    const Deadline& d)
{
    if (d.leftMs() <= REPLY_MARGIN_MS)
        return ETIMEDOUT;
    Request due = req;
    due.dueNs = d.endNs() - (int64_t)REPLY_MARGIN_MS * 1000000;
    int sock = -1;
    int err = openRequestSocket(sock);
    if (err != 0)
        return err;
    err = ESRCH;
    for (int i = 0; i < keeperFolderCount() && err == ESRCH; i++) {
        err = connectToKeeper(sock, keeperFolderPath(i));
        if (err == 0)
            err = sendRequest(sock, due, fds, nfds, d);
    }
    if (err == 0)
        err = receiveReply(sock, reply, receivedFd, d);
    close(sock);
    return err;
}

int askKeeper(const Request& req, int sendFd, Reply& reply, int* receivedFd, const Deadline& d)
{
    return exchange(req, &sendFd, sendFd >= 0 ? 1 : 0, reply, receivedFd, d);
}

int handToKeeper(const Request& req, int fd, int* conn, const Deadline& d)
{
    for (;;) {
        // A registration comes with one end of the connection it lasts for.
        int pair[2] = {-1, -1};
        if (conn != nullptr && socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
            return errno;
        int fds[2] = {fd, pair[1]};
        Reply reply;
        int err = exchange(req, fds, conn != nullptr ? 2 : 1, reply, nullptr, d);
        if (err == 0)
            err = reply.err;
        if (pair[1] >= 0)
            close(pair[1]);
        if (err == 0 && conn != nullptr)
            *conn = pair[0];
        else if (pair[0] >= 0)
            close(pair[0]);
        if (err == ESRCH) {
            // No keeper: one is started with this item as its first.
            err = startKeeper(req, fd, conn, d);
            if (err == EEXIST)
                err = ESRCH;
        }
        // The keeper ended meanwhile, or another was starting: again.
        if (err != ESRCH)
            return err;
        if (!pauseWithin(d, 5))
            return ETIMEDOUT;
    }
}

}  // namespace linuxboard
