// Interrupt delivery through one FIFO per armed pin.
//
// Writers of edges (applyLevel) take the machine-wide edge-writer lock,
// then the state lock; they store the level and, if the interrupt has a
// live owner, open its FIFO and stamp the edge while the state is still
// locked, and write the line only after releasing the state lock. So edges
// reach the FIFO in the order of their stamps, and a writer blocked on a
// full FIFO holds up other edge writers but never the rest of the board.
#include "edges.h"

#include "debounce.h"
#include "fileio.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace simboard {
namespace {

std::mutex deliveryMutex;      // one handler call at a time, process-wide
std::mutex fdsMutex;           // guards heldFds
std::vector<int> heldFds;      // FIFO descriptors of running arming threads

// A forked child has none of our threads: it closes the FIFO descriptors it
// inherited, so it cannot keep a dead owner's FIFO open, and drops any hold
// on the delivery mutex (the fork may come from a handler).
void lockFdsBeforeFork() { fdsMutex.lock(); }
void unlockFdsAfterFork() { fdsMutex.unlock(); }
void closeFdsInChild() {
    for (int fd : heldFds) ::close(fd);
    heldFds.clear();
    fdsMutex.unlock();
    new (&deliveryMutex) std::mutex;
}

void registerForkHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        pthread_atfork(lockFdsBeforeFork, unlockFdsAfterFork, closeFdsInChild);
    });
}

void releaseFds(const Arming& arming) {
    std::lock_guard<std::mutex> guard(fdsMutex);
    for (int fd : {arming.readFd, arming.writeFd}) {
        if (fd < 0) continue;
        heldFds.erase(std::remove(heldFds.begin(), heldFds.end(), fd), heldFds.end());
        ::close(fd);
    }
}

std::string fifoPath(const std::string& dir, int pin) {
    return dir + "/irq" + std::to_string(pin);
}

int64_t monotonicNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void deliverEdges(const Arming& arming, std::vector<int>& edges) {
    for (int level : edges) {
        const GPIO_Irq_Type type = level != 0 ? GPIO_IRQ_RISING : GPIO_IRQ_FALLING;
        if ((arming.type & type) == 0) continue;
        std::lock_guard<std::mutex> guard(deliveryMutex);
        try {
            arming.handler->handleIrq(arming.pin, type);
        } catch (...) {
            // The handler's failure is its own; keep delivering.
        }
    }
    edges.clear();
}

// Feeds the complete lines of buffer to filter; false once "end" is read.
bool takeLines(std::string& buffer, EdgeFilter& filter, std::vector<int>& edges) {
    size_t start = 0;
    size_t newline;
    bool goOn = true;
    while (goOn && (newline = buffer.find('\n', start)) != std::string::npos) {
        const std::string line = buffer.substr(start, newline - start);
        start = newline + 1;
        long long ns = 0;
        int level = 0;
        char extra = 0;
        if (line == "end") {
            goOn = false;
        } else if (std::sscanf(line.c_str(), "%lld %d%c", &ns, &level, &extra) == 2 &&
                   (level == 0 || level == 1)) {
            filter.feed(ns, level, edges);
        }
    }
    buffer.erase(0, start);
    return goOn;
}

int pollTimeout(const EdgeFilter& filter) {
    if (!filter.isWaiting()) return -1;
    const int64_t left = filter.deadline() - monotonicNs();
    if (left <= 0) return 0;
    const int64_t ms = (left + 999999) / 1000000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

void watchEdges(const Arming& arming) {
    EdgeFilter filter(arming.initialLevel, arming.debounceMs);
    std::vector<int> edges;
    std::string buffer;
    for (;;) {
        struct pollfd pfd = {arming.readFd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, pollTimeout(filter));
        if (ready < 0 && errno != EINTR) break;
        if (ready == 0) {
            filter.settle(monotonicNs(), edges);
            deliverEdges(arming, edges);
            continue;
        }
        if (ready < 0) continue;
        char chunk[4096];
        const ssize_t got = ::read(arming.readFd, chunk, sizeof chunk);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) break;
        buffer.append(chunk, static_cast<size_t>(got));
        const bool goOn = takeLines(buffer, filter, edges);
        deliverEdges(arming, edges);
        if (!goOn) break;
    }
}

void* runArming(void* arg) {
    std::unique_ptr<Arming> arming(static_cast<Arming*>(arg));
    try {
        watchEdges(*arming);
    } catch (...) {
        // Out of memory: this arming stops; the process goes on.
    }
    releaseFds(*arming);
    return nullptr;
}

}  // namespace

int endArming(const std::string& dir, int pin) {
    const std::string path = fifoPath(dir, pin);
    const int fd = openFile(path, O_WRONLY | O_NONBLOCK);
    if (fd >= 0) {
        writeToPipe(fd, "end\n");
        ::close(fd);
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return errno;
    return 0;
}

int openArming(const BoardSite& site, Arming& arming) {
    if (int err = endArming(site.dir, arming.pin)) return err;
    const std::string path = fifoPath(site.dir, arming.pin);
    if (::mkfifo(path.c_str(), 0666) != 0) return errno != 0 ? errno : EIO;
    arming.readFd = openFile(path, O_RDONLY | O_NONBLOCK);
    if (arming.readFd >= 0) arming.writeFd = openFile(path, O_WRONLY);
    int err = arming.writeFd < 0 ? (errno != 0 ? errno : EIO) : 0;
    if (err == 0) err = setNonBlocking(arming.readFd, false);
    if (err != 0) dropArming(arming);
    return err;
}

void dropArming(Arming& arming) {
    // Not yet registered in heldFds, so no lock is needed (nor wanted: this
    // runs under the board lock).
    if (arming.readFd >= 0) ::close(arming.readFd);
    if (arming.writeFd >= 0) ::close(arming.writeFd);
    arming.readFd = arming.writeFd = -1;
}

int startArming(const Arming& arming) {
    // Registered only now, outside the board lock: the fork handlers take
    // fdsMutex before the board's mutex, so it must never nest inside it.
    registerForkHandlers();
    try {
        std::lock_guard<std::mutex> guard(fdsMutex);
        heldFds.push_back(arming.readFd);
        heldFds.push_back(arming.writeFd);
    } catch (...) {
        releaseFds(arming);
        return ENOMEM;
    }
    Arming* copy = new (std::nothrow) Arming(arming);
    if (copy == nullptr) {
        releaseFds(arming);
        return ENOMEM;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int err = pthread_create(&thread, &attr, runArming, copy);
    pthread_attr_destroy(&attr);
    if (err != 0) {
        delete copy;
        releaseFds(arming);
    }
    return err;
}

int applyLevel(int pin, int level) {
    if (!isUsablePin(pin)) return ENODEV;
    if (level != 0 && level != 1) return EINVAL;
    int lockFd = -1;
    if (int err = lockEdgeWriters(lockFd)) return err;
    int fifoFd = -1;
    std::string line;
    int err = editBoard([&](BoardState& board, BoardSite& site, bool& changed) {
        PinState& p = board.pins[pin];
        if (p.outside == level) return 0;
        if (p.irqType != 0 && isLiveOwner(site, p.irqOwner)) {
            fifoFd = openFile(fifoPath(site.dir, pin), O_WRONLY | O_NONBLOCK);
            if (fifoFd < 0 && errno != ENXIO && errno != ENOENT) return errno != 0 ? errno : EIO;
            if (fifoFd >= 0) {
                // From here a full FIFO blocks the write rather than lose an edge.
                if (int e = setNonBlocking(fifoFd, false)) return e;
                char text[64];
                std::snprintf(text, sizeof text, "%lld %d\n",
                              static_cast<long long>(monotonicNs()), level);
                line = text;
            }
        }
        p.outside = level;
        changed = true;
        return 0;
    });
    if (err == 0 && fifoFd >= 0) {
        // EPIPE: the owner died since the check; its edges die with it.
        const int e = writeToPipe(fifoFd, line);
        if (e != EPIPE) err = e;
    }
    if (fifoFd >= 0) ::close(fifoFd);
    unlockEdgeWriters(lockFd);
    return err;
}

}  // namespace simboard
