// Detached processes. Everything after the first fork is a system call:
// the caller may have threads, and a forked child of a threaded process
// may take no lock that another thread held at the fork.
#include "detach.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace linuxboard {

static const int KEPT_MAX = 4;
// Kept descriptors are parked above the standard ones while those are set.
static const int PARK_FROM = 64;

static void closeFrom(int first)
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, (unsigned)first, ~0U, 0U) == 0)
        return;
#endif
    struct rlimit lim;
    rlim_t top = getrlimit(RLIMIT_NOFILE, &lim) == 0 ? lim.rlim_cur : 1024;
    if (top == RLIM_INFINITY || top > 65536)
        top = 65536;
    for (int fd = first; fd < (int)top; fd++)
        close(fd);
}

static void resetSignals()
{
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; sig++)
        sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

[[noreturn]] static void runDetached(const char* name, const int* keep, int count,
                                     DetachedBody body)
{
    resetSignals();
    int parked[KEPT_MAX];
    for (int i = 0; i < count; i++) {
        parked[i] = fcntl(keep[i], F_DUPFD, PARK_FROM + i);
        if (parked[i] < 0)
            _exit(1);
    }
    int null = open("/dev/null", O_RDWR);
    if (null < 0)
        _exit(1);
    for (int fd = 0; fd <= 2; fd++) {
        if (null != fd && dup2(null, fd) < 0)
            _exit(1);
    }
    int fds[KEPT_MAX];
    for (int i = 0; i < count; i++) {
        fds[i] = 3 + i;
        if (dup2(parked[i], fds[i]) < 0)
            _exit(1);
    }
    closeFrom(3 + count);
    if (chdir("/") != 0)
        _exit(1);
    prctl(PR_SET_NAME, name, 0, 0, 0);
    body(fds, count);
    _exit(0);
}

int startDetached(const char* name, const int* keep, int count, DetachedBody body)
{
    if (count > KEPT_MAX)
        return EINVAL;
    pid_t first = fork();
    if (first < 0)
        return errno;
    if (first == 0) {
        // Its own session, then a child that is no session leader and can
        // never gain a controlling terminal; the first child ends at once.
        setsid();
        pid_t second = fork();
        if (second < 0)
            _exit(errno & 0xff);
        if (second == 0)
            runDetached(name, keep, count, body);
        _exit(0);
    }
    int status = 0;
    pid_t r;
    do {
        r = waitpid(first, &status, 0);
    } while (r < 0 && errno == EINTR);
    // With SIGCHLD ignored the child is reaped by the kernel: no status.
    if (r < 0)
        return 0;
    if (WIFEXITED(status))
        return WEXITSTATUS(status) == 0 ? 0 : WEXITSTATUS(status);
    return EIO;
}

}  // namespace linuxboard
