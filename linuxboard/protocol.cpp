// The keeper's folder, and asking the keeper.
#include "protocol.h"

#include "keeper.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace linuxboard {

// Whether path is a directory of uid that no one else may write.
static bool isTrustedFolder(const char* path, uid_t uid)
{
    struct stat st;
    return lstat(path, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid &&
           (st.st_mode & 022) == 0;
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
    return isTrustedFolder(dir, geteuid()) ? 0 : EPERM;
}

namespace {

struct Folder {
    std::string path;
    int err = 0;
};

Folder chooseFolder()
{
    Folder f;
    uid_t uid = geteuid();
    std::string runtime = "/run/user/" + std::to_string(uid);
    if (uid == 0 && isTrustedFolder("/run", 0))
        f.path = "/run/varnel";
    else if (uid != 0 && isTrustedFolder(runtime.c_str(), uid))
        f.path = runtime + "/varnel";
    else
        f.path = "/tmp/varnel-" + std::to_string(uid);
    f.err = makeKeeperFolder(f.path.c_str());
    return f;
}

}  // namespace

int keeperFolder(std::string& dir)
{
    static const Folder folder = chooseFolder();
    dir = folder.path;
    return folder.err;
}

int sendPacket(int sock, const void* data, size_t size, int fd)
{
    struct iovec iov = {const_cast<void*>(data), size};
    struct msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    char cbuf[CMSG_SPACE(sizeof(int))] = {};
    if (fd >= 0) {
        msg.msg_control = cbuf;
        msg.msg_controllen = sizeof cbuf;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    ssize_t n;
    do {
        n = sendmsg(sock, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return errno == ECONNRESET ? EPIPE : errno;
    return (size_t)n == size ? 0 : EPROTO;
}

int receivePacket(int sock, void* data, size_t size, int* fd)
{
    struct iovec iov = {data, size};
    struct msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    char cbuf[CMSG_SPACE(sizeof(int))] = {};
    msg.msg_control = cbuf;
    msg.msg_controllen = sizeof cbuf;
    ssize_t n;
    do {
        n = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return errno == ECONNRESET ? EPIPE : errno;
    int got = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
            c->cmsg_len == CMSG_LEN(sizeof(int)))
            memcpy(&got, CMSG_DATA(c), sizeof got);
    }
    int err = n == 0                                                            ? EPIPE
              : (size_t)n != size || (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) ? EPROTO
                                                                                : 0;
    if (got >= 0 && (err != 0 || fd == nullptr)) {
        close(got);
        got = -1;
    }
    if (fd != nullptr)
        *fd = got;
    return err;
}

static int setTimeout(int sock, int option, int ms)
{
    struct timeval tv = {ms / 1000, (suseconds_t)(ms % 1000) * 1000};
    return setsockopt(sock, SOL_SOCKET, option, &tv, sizeof tv) == 0 ? 0 : errno;
}

// A connection to the keeper, waiting at most until d for room in its
// backlog and, later, for its reply: ESRCH when no keeper listens.
static int connectKeeper(int& sock, const Deadline& d)
{
    std::string dir;
    if (int err = keeperFolder(dir))
        return err;
    int left = d.leftMs();
    if (left == 0)
        return ETIMEDOUT;
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::string path = dir + "/" + KEEPER_SOCKET;
    if (path.size() >= sizeof addr.sun_path)
        return ENAMETOOLONG;
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (s < 0)
        return errno;
    int err = setTimeout(s, SO_SNDTIMEO, left);
    if (err == 0)
        err = setTimeout(s, SO_RCVTIMEO, left);
    while (err == 0 && connect(s, (const sockaddr*)&addr, sizeof addr) != 0) {
        if (errno != EINTR)
            err = errno;
    }
    if (err != 0) {
        close(s);
        return err == ENOENT || err == ECONNREFUSED  ? ESRCH
               : err == EAGAIN || err == EINPROGRESS ? ETIMEDOUT
                                                     : err;
    }
    sock = s;
    return 0;
}

// One request and its reply on a connection; ESRCH if the keeper ended
// meanwhile, ETIMEDOUT past the connection's bound.
static int exchange(int sock, const Request& req, int sendFd, Reply& reply, int* receivedFd)
{
    int err = sendPacket(sock, &req, sizeof req, sendFd);
    if (err == 0)
        err = receivePacket(sock, &reply, sizeof reply, receivedFd);
    return err == EPIPE ? ESRCH : err == EAGAIN ? ETIMEDOUT : err;
}

int askKeeper(const Request& req, int sendFd, Reply& reply, int* receivedFd, const Deadline& d)
{
    int sock = -1;
    int err = connectKeeper(sock, d);
    if (err == 0) {
        err = exchange(sock, req, sendFd, reply, receivedFd);
        close(sock);
    }
    return err;
}

int handToKeeper(const Request& req, int fd, int* conn, const Deadline& d)
{
    for (;;) {
        int sock = -1;
        int err = connectKeeper(sock, d);
        if (err == 0) {
            Reply reply;
            err = exchange(sock, req, fd, reply, nullptr);
            if (err == 0)
                err = reply.err;
            if (err == 0 && conn != nullptr)
                *conn = sock;
            else
                close(sock);
        } else if (err == ESRCH) {
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
