#include "irqwatch.h"

#include "chips.h"
#include "threads.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/gpio.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace linuxboard {

struct IrqWatch {
    int pin = -1;
    int fd = -1;
    int wake[2] = {-1, -1};  // a byte here ends the thread
    int devices = -1;        // inotify on /dev: chips going and coming
    GPIO_Irq_Handler_Object* handler = nullptr;
    Rearm rearm = nullptr;
    sigset_t armerMask;  // the signal mask the handler runs with
    pthread_t events;
    std::atomic<bool> stop{false};
};

// Edges read at once; the rest wait in the kernel's buffer.
static const int EVENTS_PER_READ = 16;
// How soon a rearm that could not have the pin's table is tried again, and,
// without a watch on /dev (no inotify to be had), how often one is tried.
static const int REARM_AGAIN_MS = 100;
static const int REARM_UNWATCHED_MS = 1000;

static void callHandler(IrqWatch* w, const gpio_v2_line_event* events, size_t count)
{
    sigset_t blocked;
    pthread_sigmask(SIG_SETMASK, &w->armerMask, &blocked);
    for (size_t i = 0; i < count && !w->stop.load(); i++) {
        GPIO_Irq_Type type =
            events[i].id == GPIO_V2_LINE_EVENT_RISING_EDGE ? GPIO_IRQ_RISING : GPIO_IRQ_FALLING;
        w->handler->handleIrq(w->pin, type);
    }
    pthread_sigmask(SIG_SETMASK, &blocked, nullptr);
}

// Whether a GPIO chip came or went (or may have: the queue overflowed).
static bool chipsChanged(int devices)
{
    alignas(inotify_event) char buf[4096];
    bool changed = false;
    ssize_t n;
    while ((n = read(devices, buf, sizeof buf)) > 0) {
        for (char* p = buf; p < buf + n;) {
            const inotify_event& e = *reinterpret_cast<const inotify_event*>(p);
            if ((e.mask & IN_Q_OVERFLOW) || (e.len > 0 && strncmp(e.name, "gpiochip", 8) == 0))
                changed = true;
            p += sizeof(inotify_event) + e.len;
        }
    }
    return changed;
}

static bool isLineGone(int fd)
{
    int level;
    return readLevel(fd, level) == ENODEV;
}

static void* deliverEdges(void* arg)
{
    IrqWatch* w = static_cast<IrqWatch*>(arg);
    gpio_v2_line_event events[EVENTS_PER_READ];
    bool lost = false;
    int timeout = -1;
    while (!w->stop.load()) {
        // A line whose chip went is not looked at: it would only say so.
        struct pollfd p[3] = {
            {lost ? -1 : w->fd, POLLIN, 0}, {w->wake[0], POLLIN, 0}, {w->devices, POLLIN, 0}};
        int r = poll(p, 3, timeout);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (p[1].revents != 0)
            break;
        bool changed = p[2].revents != 0 && chipsChanged(w->devices);
        if (!lost && ((p[0].revents & (POLLERR | POLLHUP)) || (changed && isLineGone(w->fd))))
            lost = true;
        if (lost) {
            // Once a chip came, or the last try asked for another.
            if (changed || r == 0 || w->devices < 0) {
                int fd = -1;
                int err = w->rearm(w->pin, fd);
                lost = err != 0;
                if (err == 0)
                    w->fd = fd;
                timeout = err == 0         ? -1
                          : err == EAGAIN  ? REARM_AGAIN_MS
                          : w->devices < 0 ? REARM_UNWATCHED_MS
                                           : -1;
            }
            continue;
        }
        if (!(p[0].revents & POLLIN))
            continue;
        ssize_t n = read(w->fd, events, sizeof events);
        if (n < 0) {
            if (errno == ENODEV)
                lost = true;
            if (errno == EINTR || errno == EAGAIN || errno == ENODEV)
                continue;
            break;
        }
        callHandler(w, events, (size_t)n / sizeof events[0]);
    }
    return nullptr;
}

int startIrqWatch(int pin, int fd, GPIO_Irq_Handler_Object* handler, Rearm rearm, IrqWatch*& watch)
{
    IrqWatch* w = new IrqWatch;
    w->pin = pin;
    w->fd = fd;
    w->handler = handler;
    w->rearm = rearm;
    pthread_sigmask(SIG_SETMASK, nullptr, &w->armerMask);
    // Without a watch (the user's inotify instances all taken) edges still
    // come; a chip that comes back is only looked for now and then.
    w->devices = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (w->devices >= 0 &&
        inotify_add_watch(w->devices, "/dev", IN_CREATE | IN_DELETE | IN_ATTRIB) < 0) {
        close(w->devices);
        w->devices = -1;
    }
    int err = pipe2(w->wake, O_CLOEXEC) != 0 ? errno : 0;
    if (err == 0)
        err = startThread(w->events, deliverEdges, w);
    if (err != 0) {
        if (w->devices >= 0)
            close(w->devices);
        if (w->wake[0] >= 0) {
            close(w->wake[0]);
            close(w->wake[1]);
        }
        delete w;
        return err;
    }
    watch = w;
    return 0;
}

void stopIrqWatch(IrqWatch* w)
{
    w->stop.store(true);
    (void)!write(w->wake[1], "", 1);
    pthread_join(w->events, nullptr);
    close(w->wake[0]);
    close(w->wake[1]);
    if (w->devices >= 0)
        close(w->devices);
    delete w;
}

}  // namespace linuxboard
