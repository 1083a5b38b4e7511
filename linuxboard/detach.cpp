// Detached processes. Everything after the first fork is a system call:
// the caller may have threads, and a forked child of a threaded process
// may take no lock that another thread held at the fork.
#include "detach.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace linuxboard {

static const int KEPT_MAX = 4;
// The soft limit of descriptors a system gives a process.
static const rlim_t DESCRIPTORS_USUAL = 1024;

// In the detached process: where its report goes, or -1. A socket, sent
// to without SIGPIPE: a starter killed meanwhile must not take the
// detached process with it.
static int readyFd = -1;

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

// What else a caller may have left the process: its limits (a caller's
// `ulimit -n 16` would bound every item the keeper is ever handed), its
// scheduling, and, for a set-user-ID start, a real user who could signal
// or trace it. A daemon starts from its own, as far as it may.
static void resetProcessState()
{
    static const int raised[] = {RLIMIT_NOFILE, RLIMIT_CPU, RLIMIT_FSIZE};
    for (int resource : raised) {
        struct rlimit lim;
        if (getrlimit(resource, &lim) == 0 && lim.rlim_cur != lim.rlim_max) {
            lim.rlim_cur = lim.rlim_max;
            setrlimit(resource, &lim);
        }
    }
    // Root may also undo a hard limit of descriptors below the usual.
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_max < DESCRIPTORS_USUAL) {
        files.rlim_cur = files.rlim_max = DESCRIPTORS_USUAL;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    setpriority(PRIO_PROCESS, 0, 0);
    struct sched_param normal = {};
    sched_setscheduler(0, SCHED_OTHER, &normal);
    cpu_set_t every;
    CPU_ZERO(&every);
    for (int cpu = 0; cpu < CPU_SETSIZE; cpu++)
        CPU_SET(cpu, &every);
    sched_setaffinity(0, sizeof every, &every);
    prctl(PR_SET_TIMERSLACK, 0, 0, 0, 0);
    gid_t group = getegid();
    uid_t user = geteuid();
    setresgid(group, group, group);
    setresuid(user, user, user);
}

void reportReady(int err)
{
    if (readyFd < 0)
        return;
    ssize_t n;
    do {
        n = send(readyFd, &err, sizeof err, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    close(readyFd);
    readyFd = -1;
}

// The kept descriptors and the report socket (last) become 3, 4, ...: first
// copied above every one of those numbers, then down into place.
static int arrangeDescriptors(const int* keep, int count, int reportFd)
{
    int from[KEPT_MAX + 1];
    int total = count + 1;
    for (int i = 0; i < total; i++) {
        from[i] = fcntl(i < count ? keep[i] : reportFd, F_DUPFD, 3 + total);
        if (from[i] < 0)
            return errno;
    }
    int null = open("/dev/null", O_RDWR);
    if (null < 0)
        return errno;
    for (int fd = 0; fd <= 2; fd++) {
        if (null != fd && dup2(null, fd) < 0)
            return errno;
    }
    for (int i = 0; i < total; i++) {
        if (dup2(from[i], 3 + i) < 0)
            return errno;
    }
    closeFrom(3 + total);
    return 0;
}

[[noreturn]] static void runDetached(const char* name, const int* keep, int count, int reportFd,
                                     DetachedBody body)
{
    resetSignals();
    resetProcessState();
    umask(077);
    readyFd = reportFd;
    int err = arrangeDescriptors(keep, count, reportFd);
    if (err == 0) {
        readyFd = 3 + count;
        fcntl(readyFd, F_SETFD, FD_CLOEXEC);
        if (chdir("/") != 0)
            err = errno;
    }
    if (err != 0) {
        reportReady(err);
        _exit(1);
    }
    int fds[KEPT_MAX];
    for (int i = 0; i < count; i++)
        fds[i] = 3 + i;
    prctl(PR_SET_NAME, name, 0, 0, 0);
    body(fds, count);
    _exit(0);
}

// The detached process's report: its errno value, or ECHILD when it ended
// without one.
static int awaitReport(int fd, const Deadline& d)
{
    int err = 0;
    size_t got = 0;
    while (got < sizeof err) {
        struct pollfd p = {fd, POLLIN, 0};
        int left = d.leftMs();
        int r = left > 0 ? poll(&p, 1, left) : 0;
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return r == 0 ? ETIMEDOUT : errno;
        ssize_t n = read(fd, (char*)&err + got, sizeof err - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return ECHILD;
        got += (size_t)n;
    }
    return err;
}

int startDetached(const char* name, const int* keep, int count, DetachedBody body,
                  const Deadline& d)
{
    if (count > KEPT_MAX)
        return EINVAL;
    int report[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, report) != 0)
        return errno;
    pid_t first = fork();
    if (first < 0) {
        int err = errno;
        close(report[0]);
        close(report[1]);
        return err;
    }
    if (first == 0) {
        // Its own session, then a child that is no session leader and can
        // never gain a controlling terminal; the first child ends at once.
        close(report[0]);
        setsid();
        pid_t second = fork();
        if (second < 0) {
            int err = errno;
            (void)!send(report[1], &err, sizeof err, MSG_NOSIGNAL);
            _exit(1);
        }
        if (second == 0)
            runDetached(name, keep, count, report[1], body);
        _exit(0);
    }
    close(report[1]);
    // With SIGCHLD ignored the kernel reaps the child: nothing to wait for.
    while (waitpid(first, nullptr, 0) < 0 && errno == EINTR) {
    }
    int err = awaitReport(report[0], d);
    close(report[0]);
    return err;
}

}  // namespace linuxboard
