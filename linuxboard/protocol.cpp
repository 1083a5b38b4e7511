// The keeper's folder, and asking the keeper.
#include "protocol.h"

#include "keeper.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/auxv.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace linuxboard {

// The effective user the process started with, as the kernel told it.
static uid_t ourUid()
{
    return (uid_t)getauxval(AT_EUID);
}

// Where a keeper of ours may listen, in the order looked at: for root
// /run/varnel, or /var/run/varnel where there is no /run; for another user
// the runtime folder /run/user/UID/varnel; and last /tmp/varnel-UID. Made
// once, as plain text: every request goes through here.
struct KeeperFolders {
    static const int MAX = 3;
    char path[MAX][64];
    int count = 0;

    KeeperFolders()
    {
        unsigned long uid = ourUid();
        if (uid == 0) {
            add("/run/varnel");
            add("/var/run/varnel");
        } else {
            snprintf(path[count++], sizeof path[0], "/run/user/%lu/varnel", uid);
        }
        snprintf(path[count++], sizeof path[0], "/tmp/varnel-%lu", uid);
    }
    void add(const char* p) { snprintf(path[count++], sizeof path[0], "%s", p); }
};

static const KeeperFolders& keeperFolders()
{
    static const KeeperFolders folders;
    return folders;
}

// Whether a keeper's folder may be made in the folder at path: it is
// there, it is root's or ours, and no one else may remove or rename what
// it holds (not writable by others, or sticky).
static bool mayHoldKeeperFolder(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           (st.st_uid == 0 || st.st_uid == ourUid()) &&
           ((st.st_mode & 022) == 0 || (st.st_mode & S_ISVTX) != 0);
}

int makeKeeperFolder(const char* dir)
{
    if (mkdir(dir, 0700) == 0) {
        // Whatever the umask took away.
        if (chmod(dir, 0700) != 0)
            return errno;
    } else if (errno != EEXIST) {
        return errno;
    }
    struct stat st;
    if (lstat(dir, &st) != 0)
        return errno;
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 022) == 0 ? 0 : EPERM;
}

int keeperFolder(std::string& dir)
{
    const KeeperFolders& folders = keeperFolders();
    for (int i = 0; i < folders.count; i++) {
        std::string folder = folders.path[i];
        if (mayHoldKeeperFolder(folder.substr(0, folder.rfind('/')))) {
            dir = folder;
            return makeKeeperFolder(dir.c_str());
        }
    }
    return ENOENT;
}

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
    alignas(cmsghdr) char cbuf[CMSG_SPACE(FDS_MAX * sizeof(int))] = {};
    if (nfds > 0) {
        msg.msg_control = cbuf;
        msg.msg_controllen = CMSG_SPACE(nfds * sizeof(int));
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(nfds * sizeof(int));
        memcpy(CMSG_DATA(c), fds, nfds * sizeof(int));
    }
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
    int err = n == 0                                                            ? EPIPE
              : (size_t)n != size || (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) ? EPROTO
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
    return peer.uid == 0 || peer.uid == ourUid();
}

// A socket for one request to the keeper: bound, as the kernel binds it,
// to a name of its own for the reply; the sender of what comes to it
// (SO_PASSCRED) tells the keeper's reply from anyone else's datagram.
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

// Sends req to the keeper at path, waiting within d while its queue is
// full: ESRCH when no keeper is there (or it is ending).
static int sendRequest(int sock, const char* folder, const Request& req, const int* fds, int nfds,
                       const Deadline& d)
{
    Peer keeper;
    keeper.addr.sun_family = AF_UNIX;
    snprintf(keeper.addr.sun_path, sizeof keeper.addr.sun_path, "%s/%s", folder, KEEPER_SOCKET);
    keeper.len = sizeof keeper.addr;
    for (;;) {
        int err = sendPacket(sock, &req, sizeof req, fds, nfds, &keeper);
        if (err == EAGAIN && pauseWithin(d, 2))
            continue;
        return err == ENOENT || err == ECONNREFUSED || err == EPIPE ? ESRCH
               : err == EAGAIN                                      ? ETIMEDOUT
                                                                    : err;
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
// when no keeper runs.
static int exchange(const Request& req, const int* fds, int nfds, Reply& reply, int* receivedFd,
                    const Deadline& d)
{
    int sock = -1;
    int err = openRequestSocket(sock);
    if (err != 0)
        return err;
    err = ESRCH;
    const KeeperFolders& folders = keeperFolders();
    for (int i = 0; i < folders.count && err == ESRCH; i++)
        err = sendRequest(sock, folders.path[i], req, fds, nfds, d);
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
