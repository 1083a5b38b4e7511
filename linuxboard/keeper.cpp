// The keeper process. It makes system calls only (it may be forked from a
// process with threads): fixed tables, no allocation, no stdio.
#include "keeper.h"

#include "chips.h"
#include "detach.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/gpio.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace linuxboard {

// The names carry the protocol's version: a keeper of an earlier build,
// still running after an upgrade, keeps its own names (and its lines,
// busy for us until it is ended) and is never sent a request it would
// misread.
const char KEEPER_SOCKET[] = "keeper2";
const char KEEPER_LOCK[] = "keeper2.lock";

namespace {

// More than a board has pins, lines or channels.
const int ITEMS_MAX = 128;

enum ItemKind { NO_ITEM = 0, HELD, LENT, WATCHED };

// Plain data, zero until the keeper starts: a process that only links the
// library pays nothing for the table.
struct Item {
    int kind;
    uint64_t chip;
    uint32_t index;
    int fd;    // the line request, or the channel's "enable" file
    int conn;  // a registration's connection
};

// Filled in by startKeeper before the fork.
char folderPath[sizeof(sockaddr_un::sun_path)];
char socketPath[sizeof(sockaddr_un::sun_path)];
char lockPath[sizeof(sockaddr_un::sun_path)];
Request firstRequest;

Item items[ITEMS_MAX];
int sock = -1;  // where requests come, one datagram each
int lockFd = -1;
int inotifyFd = -1;
int folderWatch = -1;

void closeFd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// --- The items.

Item* findLine(uint64_t chip, uint32_t index)
{
    for (Item& it : items) {
        if ((it.kind == HELD || it.kind == LENT) && it.chip == chip && it.index == index)
            return &it;
    }
    return nullptr;
}

Item* findChannel(uint64_t chip, uint32_t index)
{
    for (Item& it : items) {
        if (it.kind == WATCHED && it.chip == chip && it.index == index)
            return &it;
    }
    return nullptr;
}

bool hasItems()
{
    for (const Item& it : items) {
        if (it.kind != NO_ITEM)
            return true;
    }
    return false;
}

void switchChannelOff(int enableFd)
{
    (void)!pwrite(enableFd, "0", 1, 0);
}

// Lets go of an item; told says the worker of a registration is told so
// (it then registers no more).
void dropItem(Item& it, bool told)
{
    if (told && it.conn >= 0)
        (void)!send(it.conn, &DROPPED, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    closeFd(it.fd);
    closeFd(it.conn);
    it.kind = NO_ITEM;
}

// Whether an item of kind for req would find its place.
bool hasRoomFor(int kind, const Request& req)
{
    if ((kind == WATCHED ? findChannel(req.chip, req.index) : findLine(req.chip, req.index)) !=
        nullptr)
        return true;
    for (const Item& slot : items) {
        if (slot.kind == NO_ITEM)
            return true;
    }
    return false;
}

int addItem(int kind, const Request& req, int fd, int conn)
{
    Item* it = kind == WATCHED ? findChannel(req.chip, req.index) : findLine(req.chip, req.index);
    if (it != nullptr) {
        // A newer request for the same line or channel: the old one is
        // stale (its chip was replaced) or taken over.
        dropItem(*it, true);
    } else {
        for (Item& slot : items) {
            if (slot.kind == NO_ITEM) {
                it = &slot;
                break;
            }
        }
        if (it == nullptr)
            return ENOSPC;
    }
    it->kind = kind;
    it->chip = req.chip;
    it->index = req.index;
    it->fd = fd;
    it->conn = conn;
    return 0;
}

int makeInput(int fd)
{
    LineConfig input;
    input.flags = GPIO_V2_LINE_FLAG_INPUT;
    return configureLine(fd, input);
}

// The line an output driven to level, or (level -1) to the level it has.
int makeOutput(int fd, int level)
{
    LineConfig output;
    output.flags = GPIO_V2_LINE_FLAG_OUTPUT;
    output.level = level;
    int err = level < 0 ? readLevel(fd, output.level) : 0;
    return err != 0 ? err : configureLine(fd, output);
}

// A chip has gone from /dev: the lines that went with it answer ENODEV.
void dropLinesOfGoneChips()
{
    for (Item& it : items) {
        int level;
        if ((it.kind == HELD || it.kind == LENT) && readLevel(it.fd, level) == ENODEV)
            dropItem(it, true);
    }
}

// --- Requests.

// What a request comes to: the reply, and an item taken, whose request
// goes with the reply and is dropped once sent.
struct Outcome {
    Reply reply;
    Item* taken = nullptr;
};

// fds came with the request: fds[0] the item's descriptor, fds[1] a
// registration's connection. They are the item's, or closed here. A
// request whose sender has given up on it by now is not carried out.
Outcome serve(const Request& req, int* fds)
{
    Outcome o;
    int& err = o.reply.err;
    Item* line = findLine(req.chip, req.index);
    if (monotonicNs() >= req.dueNs) {
        err = ETIMEDOUT;
        closeFd(fds[0]);
        closeFd(fds[1]);
        return o;
    }
    switch (req.op) {
    case KEEP:
    case LEND:
    case WATCH: {
        int kind = req.op == KEEP ? HELD : req.op == LEND ? LENT : WATCHED;
        err = fds[0] < 0 || (req.op != KEEP && fds[1] < 0) ? EPROTO
              : !hasRoomFor(kind, req)                     ? ENOSPC
                                                           : 0;
        // A line kept becomes the output asked for as the keeper takes it:
        // never before, should the keeper not take it.
        if (err == 0 && req.op == KEEP)
            err = makeOutput(fds[0], req.arg);
        if (err == 0)
            err = addItem(kind, req, fds[0], req.op == KEEP ? -1 : fds[1]);
        if (err == 0) {
            fds[0] = -1;
            if (req.op != KEEP)
                fds[1] = -1;
        }
        break;
    }
    case READ:
        err = line == nullptr ? ESRCH : readLevel(line->fd, o.reply.value);
        break;
    case DRIVE:
    case RELEASE:
    case TAKE:
        // A lent line stays with its interrupt worker.
        err = line == nullptr ? ESRCH : line->kind == LENT ? EBUSY : 0;
        if (err != 0)
            break;
        if (req.op == DRIVE && req.arg >= 0)
            err = driveLevel(line->fd, req.arg);
        if (req.op == RELEASE && req.arg != 0)
            err = makeInput(line->fd);
        if (req.op == RELEASE && err == 0)
            dropItem(*line, false);
        if (req.op == TAKE)
            o.taken = line;
        break;
    case UNWATCH:
        if (Item* channel = findChannel(req.chip, req.index)) {
            switchChannelOff(channel->fd);
            dropItem(*channel, true);
        } else {
            err = ESRCH;
        }
        break;
    default:
        err = EPROTO;
    }
    closeFd(fds[0]);
    closeFd(fds[1]);
    return o;
}

// Serves a request that has come; false once none waits. Every request of
// our own user is answered at once: ending answers each with ESRCH, as a
// keeper that is no more (ask again), and one that could not be taken
// whole (its descriptors beyond our limit) with why.
bool serveRequests(bool ending)
{
    Request req;
    int fds[2] = {-1, -1};
    Peer from;
    int err = receivePacket(sock, &req, sizeof req, fds, &from);
    if (err == EAGAIN || err == EBADF)
        return false;
    if (!isTrustedPeer(from) || from.len == 0) {
        closeFd(fds[0]);
        closeFd(fds[1]);
        return true;
    }
    Outcome o;
    if (err != 0 || ending) {
        o.reply.err = err != 0 ? err : ESRCH;
        closeFd(fds[0]);
        closeFd(fds[1]);
    } else {
        o = serve(req, fds);
    }
    int sent = sendPacket(sock, &o.reply, sizeof o.reply, o.taken ? &o.taken->fd : nullptr,
                          o.taken ? 1 : 0, &from);
    // Taken: the request now travels with the reply.
    if (o.taken != nullptr && sent == 0)
        dropItem(*o.taken, false);
    return true;
}

// --- Where it is found.

// What path names now, if anything.
bool sameFile(const char* path, const struct stat& known)
{
    struct stat st;
    return lstat(path, &st) == 0 && st.st_dev == known.st_dev && st.st_ino == known.st_ino;
}

struct stat lockFile = {};
struct stat socketFile = {};

int lockFolder()
{
    if (lockFd >= 0 && sameFile(lockPath, lockFile))
        return 0;
    int fd = open(lockPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &lockFile) != 0) {
        int err = errno == EWOULDBLOCK ? EEXIST : errno;
        close(fd);
        return err;
    }
    closeFd(lockFd);
    lockFd = fd;
    return 0;
}

int bindAtFolder()
{
    if (sock >= 0 && sameFile(socketPath, socketFile))
        return 0;
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, socketPath, sizeof addr.sun_path);
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0)
        return errno;
    int on = 1;
    // Whatever is at the name is a keeper's that is gone: the lock is ours.
    unlink(socketPath);
    if (setsockopt(s, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
        bind(s, (const sockaddr*)&addr, sizeof addr) != 0 || lstat(socketPath, &socketFile) != 0) {
        int err = errno;
        close(s);
        return err;
    }
    closeFd(sock);
    sock = s;
    return 0;
}

// Takes the folder: its lock, its socket, a watch on both names; again
// after either was removed, so that the keeper stays within reach.
int takeFolder()
{
    int err = makeOurFolder(folderPath);
    if (err == 0)
        err = lockFolder();
    if (err == 0)
        err = bindAtFolder();
    if (err == 0 && inotifyFd >= 0) {
        folderWatch = inotify_add_watch(inotifyFd, folderPath,
                                        IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF);
    }
    return err;
}

// False when the keeper can no longer be found and must end.
bool readEvents()
{
    alignas(inotify_event) char buf[4096];
    bool chips = false, names = false;
    ssize_t n;
    while ((n = read(inotifyFd, buf, sizeof buf)) > 0) {
        for (char* p = buf; p < buf + n;) {
            const inotify_event& e = *reinterpret_cast<const inotify_event*>(p);
            bool ours = e.wd == folderWatch;
            if (e.mask & IN_Q_OVERFLOW)
                chips = names = true;
            else if (ours)
                names = true;
            else if (e.len > 0 && strncmp(e.name, "gpiochip", 8) == 0)
                chips = true;
            p += sizeof(inotify_event) + e.len;
        }
    }
    if (chips)
        dropLinesOfGoneChips();
    return !names || takeFolder() == 0;
}

// --- The loop.

[[noreturn]] void keepLoop()
{
    struct pollfd p[2 + ITEMS_MAX];
    int itemOf[2 + ITEMS_MAX];
    for (;;) {
        int n = 0;
        p[n++] = {sock, POLLIN, 0};
        p[n++] = {inotifyFd, POLLIN, 0};
        for (int i = 0; i < ITEMS_MAX; i++) {
            if (items[i].conn >= 0) {
                itemOf[n] = i;
                p[n++] = {items[i].conn, POLLIN, 0};
            }
        }
        if (poll(p, (nfds_t)n, -1) < 0)
            continue;
        // A registration's worker has ended (or broke the protocol).
        for (int k = 2; k < n; k++) {
            Item& it = items[itemOf[k]];
            if (p[k].revents != 0 && it.conn == p[k].fd) {
                if (it.kind == WATCHED)
                    switchChannelOff(it.fd);
                dropItem(it, false);
            }
        }
        // One request a round: more that wait wake the next poll() at once.
        if (p[0].revents & POLLIN)
            serveRequests(false);
        if ((p[1].revents & POLLIN) && !readEvents())
            break;
        if (!hasItems())
            break;
    }
    // Nothing left, or no longer to be found. The name goes while the
    // lock is held, so that no later keeper's socket is removed; requests
    // sent before it went are told to ask again, and none comes after.
    if (sameFile(socketPath, socketFile))
        unlink(socketPath);
    shutdown(sock, SHUT_RD);
    while (serveRequests(true)) {
    }
    _exit(0);
}

// fds: the first item's descriptor, and a registration's connection.
void runKeeper(const int* fds, int count)
{
    for (Item& it : items) {
        it.fd = -1;
        it.conn = -1;
    }
    inotifyFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotifyFd >= 0)
        inotify_add_watch(inotifyFd, "/dev", IN_DELETE);
    int err = takeFolder();
    if (err == 0) {
        int first[2] = {fds[0], count > 1 ? fds[1] : -1};
        err = serve(firstRequest, first).reply.err;
    }
    reportReady(err);
    if (err != 0)
        _exit(1);
    keepLoop();
}

bool copyPath(char* to, const std::string& dir, const char* name)
{
    std::string path = name == nullptr ? dir : dir + "/" + name;
    if (path.size() >= sizeof socketPath)
        return false;
    memcpy(to, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace

int startKeeper(const Request& req, int fd, int* conn, const Deadline& d)
{
    if (d.leftMs() <= REPLY_MARGIN_MS)
        return ETIMEDOUT;
    std::string dir;
    if (int err = ourFolder(dir))
        return err;
    if (!copyPath(folderPath, dir, nullptr) || !copyPath(socketPath, dir, KEEPER_SOCKET) ||
        !copyPath(lockPath, dir, KEEPER_LOCK))
        return ENAMETOOLONG;
    firstRequest = req;
    firstRequest.dueNs = d.endNs() - (int64_t)REPLY_MARGIN_MS * 1000000;
    int pair[2] = {-1, -1};
    if (conn != nullptr && socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return errno;
    int keep[2] = {fd, pair[1]};
    int err = startDetached("varnel-keeper", keep, conn != nullptr ? 2 : 1, runKeeper, d);
    if (pair[1] >= 0)
        close(pair[1]);
    if (err == 0 && conn != nullptr)
        *conn = pair[0];
    else if (pair[0] >= 0)
        close(pair[0]);
    return err;
}

}  // namespace linuxboard
