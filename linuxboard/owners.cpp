// The owner sockets and their one-byte requests.
#include "owners.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

namespace linuxboard {

// How long either end waits for the other's byte, and a client for an
// owner to let go of its name after a take.
static const int REPLY_WAIT_MS = 5000;
static const int REQUEST_WAIT_MS = 1000;

std::string lineOwnerName(const LineSite& site)
{
    char name[80];
    snprintf(name, sizeof name, "varnel/line/%u:%u/%u", major(site.chipDev), minor(site.chipDev),
             site.line);
    return name;
}

std::string pwmWatcherName(int chip, int channel)
{
    char name[80];
    snprintf(name, sizeof name, "varnel/pwm/%d/%d", chip, channel);
    return name;
}

static socklen_t abstractAddress(const std::string& name, sockaddr_un& addr)
{
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    size_t len = name.size() < sizeof addr.sun_path - 1 ? name.size() : sizeof addr.sun_path - 1;
    memcpy(addr.sun_path + 1, name.data(), len);
    return (socklen_t)(offsetof(sockaddr_un, sun_path) + 1 + len);
}

// Whether the process at the other end of sock runs as our user or root.
static bool isPeerTrusted(int sock)
{
    struct ucred cred;
    socklen_t len = sizeof cred;
    if (getsockopt(sock, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred)
        return false;
    return cred.uid == 0 || cred.uid == geteuid();
}

int listenAt(const std::string& name, int& fd)
{
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return errno;
    sockaddr_un addr;
    socklen_t len = abstractAddress(name, addr);
    if (bind(s, (const sockaddr*)&addr, len) != 0 || listen(s, 8) != 0) {
        int err = errno;
        close(s);
        return err;
    }
    fd = s;
    return 0;
}

// Waits for sock to become readable; false on timeout or error.
static bool awaitReadable(int sock, int ms)
{
    struct pollfd p = {sock, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, ms);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

namespace {

// A message of one byte, with room for one descriptor beside it.
struct ByteMessage {
    explicit ByteMessage(char* byte)
    {
        iov.iov_base = byte;
        iov.iov_len = 1;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = cbuf;
        msg.msg_controllen = sizeof cbuf;
    }
    ByteMessage(const ByteMessage&) = delete;
    ByteMessage& operator=(const ByteMessage&) = delete;

    char cbuf[CMSG_SPACE(sizeof(int))] = {};
    struct iovec iov = {};
    struct msghdr msg = {};
};

}  // namespace

// Receives the reply byte and a descriptor that may come with it.
static int receiveReply(int sock, char& reply, int& fd)
{
    ByteMessage m(&reply);
    struct msghdr& msg = m.msg;
    if (!awaitReadable(sock, REPLY_WAIT_MS))
        return ETIMEDOUT;
    ssize_t n;
    do {
        n = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return errno;
    int got = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
            c->cmsg_len == CMSG_LEN(sizeof(int)))
            memcpy(&got, CMSG_DATA(c), sizeof got);
    }
    if (n != 1 || (msg.msg_flags & MSG_CTRUNC) || (reply == REPLY_FD) != (got >= 0)) {
        if (got >= 0)
            close(got);
        return EPROTO;
    }
    fd = got;
    return 0;
}

// Reads until the owner closes its end: it has let go of everything.
static void awaitRelease(int sock)
{
    char byte;
    while (awaitReadable(sock, REQUEST_WAIT_MS)) {
        ssize_t n = read(sock, &byte, 1);
        if (n == 0 || (n < 0 && errno != EINTR))
            return;
    }
}

int askOwner(const std::string& name, char ask, char& reply, int& fd)
{
    reply = 0;
    fd = -1;
    int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (sock < 0)
        return errno;
    sockaddr_un addr;
    socklen_t len = abstractAddress(name, addr);
    int r;
    do {
        r = connect(sock, (const sockaddr*)&addr, len);
    } while (r < 0 && errno == EINTR);
    if (r != 0) {
        int err = errno;
        close(sock);
        // No one listens. A full backlog means an owner that is not
        // answering: the line is as good as busy.
        return err == ECONNREFUSED || err == ENOENT ? ESRCH : err == EAGAIN ? EBUSY : err;
    }
    if (!isPeerTrusted(sock)) {
        close(sock);
        return ESRCH;
    }
    int err = 0;
    if (send(sock, &ask, 1, MSG_NOSIGNAL) != 1)
        err = errno == EPIPE || errno == ECONNRESET ? ESRCH : errno;
    else
        err = receiveReply(sock, reply, fd);
    // An owner that went away meanwhile, or that does not serve us, holds
    // nothing for us.
    if ((err == EPROTO || err == ECONNRESET) && reply == 0)
        err = ESRCH;
    if (err == 0 && ask == ASK_TAKE && reply == REPLY_FD &&
        send(sock, &ACK, 1, MSG_NOSIGNAL) != 1) {
        close(fd);
        fd = -1;
        err = ESRCH;
    }
    if (err == 0 && ask == ASK_TAKE && reply != REPLY_BUSY)
        awaitRelease(sock);
    close(sock);
    return err;
}

int acceptRequest(int listenFd, char& ask)
{
    int conn = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) {
        if (errno == EINVAL || errno == EBADF || errno == ENOTSOCK)
            return ACCEPT_CLOSED;
        // Out of descriptors or memory: try again later, not at once.
        if (errno != EINTR && errno != ECONNABORTED) {
            struct timespec pause = {0, 100000000};
            nanosleep(&pause, nullptr);
        }
        return ACCEPT_NONE;
    }
    if (isPeerTrusted(conn) && awaitReadable(conn, REQUEST_WAIT_MS) && read(conn, &ask, 1) == 1)
        return conn;
    close(conn);
    return ACCEPT_NONE;
}

void sendReply(int conn, char reply, int fd)
{
    ByteMessage m(&reply);
    struct msghdr& msg = m.msg;
    if (fd < 0) {
        msg.msg_control = nullptr;
        msg.msg_controllen = 0;
    } else {
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    ssize_t n;
    do {
        n = sendmsg(conn, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
}

}  // namespace linuxboard

namespace linuxboard {

bool awaitAck(int conn)
{
    char byte = 0;
    return awaitReadable(conn, REQUEST_WAIT_MS) && read(conn, &byte, 1) == 1 && byte == ACK;
}

}  // namespace linuxboard
