#include "irqwatch.h"

#include "owners.h"
#include "threads.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <linux/gpio.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace linuxboard {

struct IrqWatch {
    int pin = -1;
    int fd = -1;
    int listenFd = -1;
    int wake[2] = {-1, -1};  // a byte here ends the event thread
    GPIO_Irq_Handler_Object* handler = nullptr;
    pthread_t events;
    pthread_t server;
    bool serving = false;
    std::atomic<bool> stop{false};
};

// Edges read at once; the rest wait in the kernel's buffer.
static const int EVENTS_PER_READ = 16;

static void* deliverEdges(void* arg)
{
    IrqWatch* w = static_cast<IrqWatch*>(arg);
    gpio_v2_line_event events[EVENTS_PER_READ];
    while (!w->stop.load()) {
        struct pollfd p[2] = {{w->fd, POLLIN, 0}, {w->wake[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (p[1].revents != 0)
            break;
        // The chip is gone.
        if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL))
            break;
        ssize_t n = read(w->fd, events, sizeof events);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            break;
        }
        size_t count = (size_t)n / sizeof events[0];
        for (size_t i = 0; i < count && !w->stop.load(); i++) {
            GPIO_Irq_Type type =
                events[i].id == GPIO_V2_LINE_EVENT_RISING_EDGE ? GPIO_IRQ_RISING : GPIO_IRQ_FALLING;
            w->handler->handleIrq(w->pin, type);
        }
    }
    return nullptr;
}

static void* serveOwnerName(void* arg)
{
    IrqWatch* w = static_cast<IrqWatch*>(arg);
    for (;;) {
        char ask = 0;
        int conn = acceptRequest(w->listenFd, ask);
        if (conn == ACCEPT_CLOSED)
            break;
        if (conn < 0)
            continue;
        sendReply(conn, ask == ASK_SHARE ? REPLY_FD : REPLY_BUSY, ask == ASK_SHARE ? w->fd : -1);
        close(conn);
    }
    return nullptr;
}

int startIrqWatch(int pin, int fd, int listenFd, GPIO_Irq_Handler_Object* handler, IrqWatch*& watch)
{
    IrqWatch* w = new IrqWatch;
    w->pin = pin;
    w->fd = fd;
    w->listenFd = listenFd;
    w->handler = handler;
    if (pipe2(w->wake, O_CLOEXEC) != 0) {
        int err = errno;
        delete w;
        return err;
    }
    int err = startThread(w->events, deliverEdges, w);
    if (err != 0) {
        close(w->wake[0]);
        close(w->wake[1]);
        delete w;
        return err;
    }
    // Without the server the interrupt still works; only reads from other
    // processes find the line busy.
    if (listenFd >= 0)
        w->serving = startThread(w->server, serveOwnerName, w) == 0;
    watch = w;
    return 0;
}

void stopIrqWatch(IrqWatch* w)
{
    w->stop.store(true);
    (void)!write(w->wake[1], "", 1);
    pthread_join(w->events, nullptr);
    if (w->listenFd >= 0)
        shutdown(w->listenFd, SHUT_RDWR);
    if (w->serving)
        pthread_join(w->server, nullptr);
    if (w->listenFd >= 0)
        close(w->listenFd);
    close(w->wake[0]);
    close(w->wake[1]);
    delete w;
}

}  // namespace linuxboard
