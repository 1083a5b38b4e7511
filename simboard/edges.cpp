// Interrupt delivery through one FIFO per armed pin.
//
// Writers of edges (applyLevel) take the pin's edge-writer lock, then the
// state lock; they store the level and, if the interrupt has a live owner,
// open its FIFO and stamp the edge while the state is still locked, and
// write the line only after releasing the state lock. So a pin's edges
// reach its FIFO in the order of their stamps, and a writer waiting for
// room in a FIFO holds up only that pin's writers, and only until its
// deadline.
//
// In the owning process an arming has two threads: the watcher drains the
// FIFO as lines arrive, debounces them and queues the edges the handler
// asked for; the deliverer calls the handler with them, one at a time and
// in order. A slow handler makes the queue grow, not the FIFO. Both threads
// block while there is nothing to do.
#include "edges.h"

#include "debounce.h"
#include "fileio.h"
#include "folder.h"
#include "outside.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <deque>
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

// A watcher line longer than this holds no edge: it is dropped.
constexpr size_t kLongestLine = 4096;

std::mutex deliveryMutex;  // one handler call at a time, process-wide
std::mutex fdsMutex;       // guards heldFds
std::vector<int> heldFds;  // FIFO descriptors of running watchers

// A forked child has none of our threads: it closes the FIFO descriptors it
// inherited, so it cannot keep a dead owner's FIFO open, and drops any hold
// on the delivery mutex (the fork may come from a handler).
void lockFdsBeforeFork()
{
    fdsMutex.lock();
}
void unlockFdsAfterFork()
{
    fdsMutex.unlock();
}
void closeFdsInChild()
{
    for (int fd : heldFds)
        ::close(fd);
    heldFds.clear();
    fdsMutex.unlock();
    new (&deliveryMutex) std::mutex;
}

void registerForkHandlers()
{
    static std::once_flag once;
    std::call_once(once,
                   [] { pthread_atfork(lockFdsBeforeFork, unlockFdsAfterFork, closeFdsInChild); });
}

void releaseFds(const Arming& arming)
{
    std::lock_guard<std::mutex> guard(fdsMutex);
    for (int fd : {arming.readFd, arming.writeFd}) {
        if (fd < 0)
            continue;
        heldFds.erase(std::remove(heldFds.begin(), heldFds.end(), fd), heldFds.end());
        ::close(fd);
    }
}

std::string fifoName(int pin)
{
    return "irq" + std::to_string(pin);
}

// What the watcher and the deliverer of one arming share.
struct Watch {
    Arming arming;
    std::mutex mutex;  // guards the rest
    std::condition_variable changed;
    std::deque<GPIO_Irq_Type> queue;  // at most kEdgeQueueCap edges
    bool closed = false;              // the watcher has stopped
};

using WatchRef = std::shared_ptr<Watch>;

// Queues the edges among levels that the arming asked for.
void queueEdges(Watch& watch, std::vector<int>& levels)
{
    if (levels.empty())
        return;
    {
        std::lock_guard<std::mutex> guard(watch.mutex);
        for (int level : levels) {
            const GPIO_Irq_Type type = level != 0 ? GPIO_IRQ_RISING : GPIO_IRQ_FALLING;
            if ((watch.arming.type & type) == 0)
                continue;
            // Documented behaviour: past the cap the newest edges are dropped.
            if (watch.queue.size() < kEdgeQueueCap)
                watch.queue.push_back(type);
        }
    }
    levels.clear();
    watch.changed.notify_one();
}

void closeQueue(Watch& watch)
{
    {
        std::lock_guard<std::mutex> guard(watch.mutex);
        watch.closed = true;
    }
    watch.changed.notify_one();
}

// Feeds the complete lines of buffer to filter; false once "end" is read.
bool takeLines(std::string& buffer, EdgeFilter& filter, std::vector<int>& levels)
{
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
            filter.feed(ns, level, levels);
        }
    }
    buffer.erase(0, start);
    if (buffer.size() > kLongestLine)
        buffer.clear();
    return goOn;
}

int pollTimeout(const EdgeFilter& filter)
{
    if (!filter.isWaiting())
        return -1;
    const int64_t left = filter.deadline() - monotonicNs();
    if (left <= 0)
        return 0;
    const int64_t ms = (left + 999999) / 1000000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

void watchEdges(Watch& watch)
{
    const Arming& arming = watch.arming;
    EdgeFilter filter(arming.initialLevel, arming.debounceMs);
    std::vector<int> levels;
    std::string buffer;
    for (;;) {
        struct pollfd pfd = {arming.readFd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, pollTimeout(filter));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready == 0) {
            filter.settle(monotonicNs(), levels);
            queueEdges(watch, levels);
            continue;
        }
        if (ready < 0)
            continue;
        char chunk[4096];
        const ssize_t got = ::read(arming.readFd, chunk, sizeof chunk);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            break;
        buffer.append(chunk, static_cast<size_t>(got));
        const bool goOn = takeLines(buffer, filter, levels);
        queueEdges(watch, levels);
        if (!goOn)
            break;
    }
}

void deliverEdges(Watch& watch)
{
    for (;;) {
        GPIO_Irq_Type type;
        {
            std::unique_lock<std::mutex> lock(watch.mutex);
            watch.changed.wait(lock, [&] { return !watch.queue.empty() || watch.closed; });
            if (watch.queue.empty())
                return;
            type = watch.queue.front();
            watch.queue.pop_front();
        }
        std::lock_guard<std::mutex> guard(deliveryMutex);
        try {
            watch.arming.handler->handleIrq(watch.arming.pin, type);
        } catch (...) {
            // The handler's failure is its own; keep delivering.
        }
    }
}

void* runWatcher(void* arg)
{
    std::unique_ptr<WatchRef> watch(static_cast<WatchRef*>(arg));
    try {
        watchEdges(**watch);
    } catch (...) {
        // Out of memory: this arming stops; the process goes on.
    }
    releaseFds((*watch)->arming);
    closeQueue(**watch);
    return nullptr;
}

void* runDeliverer(void* arg)
{
    std::unique_ptr<WatchRef> watch(static_cast<WatchRef*>(arg));
    deliverEdges(**watch);
    return nullptr;
}

int startThread(void* (*body)(void*), const WatchRef& watch)
{
    WatchRef* ref = new (std::nothrow) WatchRef(watch);
    if (ref == nullptr)
        return ENOMEM;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int err = pthread_create(&thread, &attr, body, ref);
    pthread_attr_destroy(&attr);
    if (err != 0)
        delete ref;
    return err;
}

}  // namespace

int endArming(const BoardSite& site, int pin)
{
    const std::string name = fifoName(pin);
    int fd = -1;
    // Not waited for: a reader that drains nothing is stopped or gone, and
    // its FIFO, removed below, gets no more edges either way.
    if (openInFolder(site.dirFd, name, O_WRONLY | O_NONBLOCK, S_IFIFO, fd) == 0) {
        writeToPipe(fd, "end\n", Deadline(0));
        ::close(fd);
    }
    if (::unlinkat(site.dirFd, name.c_str(), 0) != 0 && errno != ENOENT)
        return errnoOrEio();
    return 0;
}

int openArming(const BoardSite& site, Arming& arming)
{
    if (int err = endArming(site, arming.pin))
        return err;
    const std::string name = fifoName(arming.pin);
    if (int err = makeFIFO(site.dirFd, name))
        return err;
    int err = openInFolder(site.dirFd, name, O_RDONLY | O_NONBLOCK, S_IFIFO, arming.readFd);
    if (err == 0)
        err = openInFolder(site.dirFd, name, O_WRONLY | O_NONBLOCK, S_IFIFO, arming.writeFd);
    if (err != 0)
        dropArming(arming);
    return err;
}

void dropArming(Arming& arming)
{
    // Not yet registered in heldFds, so no lock is needed (nor wanted: this
    // runs under the board lock).
    if (arming.readFd >= 0)
        ::close(arming.readFd);
    if (arming.writeFd >= 0)
        ::close(arming.writeFd);
    arming.readFd = arming.writeFd = -1;
}

int startArming(const Arming& arming)
{
    // Registered only now, outside the board lock: the fork handlers take
    // fdsMutex before the board's mutex, so it must never nest inside it.
    registerForkHandlers();
    WatchRef watch;
    try {
        std::lock_guard<std::mutex> guard(fdsMutex);
        heldFds.push_back(arming.readFd);
        heldFds.push_back(arming.writeFd);
    } catch (...) {
        releaseFds(arming);
        return ENOMEM;
    }
    try {
        watch = std::make_shared<Watch>();
    } catch (...) {
        releaseFds(arming);
        return ENOMEM;
    }
    watch->arming = arming;
    int err = startThread(runDeliverer, watch);
    if (err == 0) {
        err = startThread(runWatcher, watch);
        if (err != 0)
            closeQueue(*watch);  // the deliverer ends
    }
    if (err != 0)
        releaseFds(arming);
    return err;
}

int applyLevel(int pin, int level)
{
    if (!isUsablePin(pin))
        return ENODEV;
    if (level != 0 && level != 1)
        return EINVAL;
    const Deadline deadline;
    int lockFd = -1;
    if (int err = lockEdgeWriters(pin, deadline, lockFd))
        return err;
    int fifoFd = -1;
    std::string line;
    int err = useBoard(
        [&](BoardState& board, BoardSite& site, bool& changed) {
            PinState& p = board.pins[pin];
            if (p.outside == level)
                return 0;
            if (p.irqType != 0 && isLiveOwner(site, p.irqOwner)) {
                const int e =
                    openInFolder(site.dirFd, fifoName(pin), O_WRONLY | O_NONBLOCK, S_IFIFO, fifoFd);
                if (e != 0 && e != ENXIO && e != ENOENT)
                    return e;
                if (fifoFd >= 0) {
                    char text[64];
                    std::snprintf(text, sizeof text, "%lld %d\n",
                                  static_cast<long long>(monotonicNs()), level);
                    line = text;
                }
            }
            p.outside = level;
            changed = true;
            return 0;
        },
        deadline);
    if (err == 0 && fifoFd >= 0) {
        // EPIPE: the owner died since the check; its edges die with it.
        // Documented behaviour: on ETIMEDOUT the level stays stored, the edge is lost.
        const int e = writeToPipe(fifoFd, line, deadline);
        if (e != EPIPE)
            err = e;
    }
    if (fifoFd >= 0)
        ::close(fifoFd);
    unlockEdgeWriters(pin, lockFd);
    return err;
}

}  // namespace simboard
