// pinctl: one action on the board's I/O pins per invocation.
#include "command.h"
#include "pins/pins.h"
#include "workers/workers.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

// The "all" sweeps visit pins 0 to 26.
static const int LAST_PIN = 26;

// Runs op on the pin asked for, or on every usable pin in ascending order;
// the result code of the first pin that failed, or 0.
template <typename Op>
static int onPins(Op op)
{
    if (pinnum != ALL_PINS)
        return op(pinnum);
    int first = 0;
    for (int p = 0; p <= LAST_PIN; p++) {
        if (!GPIOAccess::isPinUsable(p))
            continue;
        int r = op(p);
        if (first == 0)
            first = r;
    }
    return first;
}

// The exit status of a library result code: 0 for success, else the code
// itself where it fits and cannot be taken for a result (get and getd
// exit with the level or direction, 0 or 1), else 255.
static int statusOf(int code, int lowest = 1)
{
    if (code == 0)
        return 0;
    return code >= lowest && code <= 254 ? code : 255;
}

// The exit status once the output is out: a command whose output could
// not be written has failed, unless its status says so already.
static int finishOutput(int status)
{
    bool reading = operation == OP_GET || operation == OP_GETD;
    bool lost = fflush(stdout) != 0 || ferror(stdout);
    if (!lost || status > (reading ? 1 : 0))
        return status;
    // 1 is a level or a direction.
    return reading ? 255 : 1;
}

static int runOperation()
{
    switch (operation) {
    case OP_INFO:
        onPins([](int p) {
            reportOn(p);
            return 0;
        });
        return 0;
    case OP_SET:
        return statusOf(onPins([](int p) { return setPin(p, value); }));
    case OP_SETD:
        return statusOf(onPins([](int p) { return setPinDir(p, direction); }));
    case OP_GET: {
        int level = 0;
        int r = getPin(pinnum, level);
        return r != 0 ? statusOf(r, 2) : level;
    }
    case OP_GETD: {
        GPIO_Direction dir = GPIO_INPUT;
        int r = getPinDir(pinnum, dir);
        return r != 0 ? statusOf(r, 2) : (int)dir;
    }
    case OP_PWM:
        return startPWM(pinnum, freq, duty);
    case OP_PWMSTOP:
        // 1: a worker may still run.
        return stopPWM(pinnum) != 0 ? 1 : 0;
    case OP_IRQ:
        return startIRQ(pinnum, irqType, irqcmd, debounce);
    case OP_IRQSTOP:
        return stopIRQ(pinnum) != 0 ? 1 : 0;
    default:
        return 255;
    }
}

// A caller may start us with standard input, output or error closed: the
// next file opened would take its number, and output meant for the caller
// would land in it. Put /dev/null there before opening anything else.
static void openStandardDescriptors()
{
    struct pollfd std[3] = {{STDIN_FILENO, 0, 0}, {STDOUT_FILENO, 0, 0}, {STDERR_FILENO, 0, 0}};
    if (poll(std, 3, 0) < 0)
        return;
    for (const struct pollfd& p : std) {
        if (!(p.revents & POLLNVAL))
            continue;
        int null = open("/dev/null", O_RDWR);
        if (null >= 0 && null != p.fd) {
            dup2(null, p.fd);
            close(null);
        }
    }
}

// Whatever else the caller left open (a script's lock on descriptor 9, the
// pipe of a command substitution on 3) is its own: a worker, the board's
// helpers or an interrupt command must not keep it for their whole lives.
static void closeInheritedDescriptors()
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0)
        return;
#endif
    struct rlimit lim;
    rlim_t top = getrlimit(RLIMIT_NOFILE, &lim) == 0 ? lim.rlim_cur : 1024;
    if (top == RLIM_INFINITY || top > 65536)
        top = 65536;
    for (int fd = 3; fd < (int)top; fd++)
        close(fd);
}

int main(int argc, char** argv)
{
    openStandardDescriptors();
    closeInheritedDescriptors();
    if (!processArgs(argc, argv)) {
        usage(argv[0]);
        return -1;
    }
    return finishOutput(runOperation());
}
