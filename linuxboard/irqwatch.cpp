#include "irqwatch.h"

#include "threads.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <linux/gpio.h>
#include <poll.h>
#include <unistd.h>

namespace linuxboard {

struct IrqWatch {
    int pin = -1;
    int fd = -1;
    int wake[2] = {-1, -1};  // a byte here ends the thread
    GPIO_Irq_Handler_Object* handler = nullptr;
    sigset_t armerMask;  // the signal mask the handler runs with
    pthread_t events;
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
        sigset_t blocked;
        pthread_sigmask(SIG_SETMASK, &w->armerMask, &blocked);
        for (size_t i = 0; i < count && !w->stop.load(); i++) {
            GPIO_Irq_Type type =
                events[i].id == GPIO_V2_LINE_EVENT_RISING_EDGE ? GPIO_IRQ_RISING : GPIO_IRQ_FALLING;
            w->handler->handleIrq(w->pin, type);
        }
        pthread_sigmask(SIG_SETMASK, &blocked, nullptr);
    }
    return nullptr;
}

int startIrqWatch(int pin, int fd, GPIO_Irq_Handler_Object* handler, IrqWatch*& watch)
{
    IrqWatch* w = new IrqWatch;
    w->pin = pin;
    w->fd = fd;
    w->handler = handler;
    pthread_sigmask(SIG_SETMASK, nullptr, &w->armerMask);
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
    delete w;
}

}  // namespace linuxboard
