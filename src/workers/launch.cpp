// launchWorker and the handshake between a worker and its invoker.
#include "launch.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

// How long the invoking process waits for its worker to be set up.
static const int READY_WAIT_MS = 2000;

static void printLaunchFailure(const WorkerLaunch& w, const char* what, int err)
{
    printf("**ERROR starting %s on pin:%d, %s failed err=%d\n", w.kind, w.pin, what, err);
}

static void awaitReady(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, READY_WAIT_MS);
    } while (r < 0 && errno == EINTR);
    char byte;
    if (r > 0)
        (void)!read(fd, &byte, 1);
}

// A worker lives on by itself: out of the caller's session, so that a
// hang-up of the caller's terminal or a Ctrl-C to its script does not end
// it, and with SIGTERM as a stop sends it, whatever the caller ignored or
// blocked (else a stop would remove the record and leave it running).
static void detachWorker()
{
    setsid();
    signal(SIGTERM, SIG_DFL);
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &term, nullptr);
}

int launchWorker(WorkerLaunch& w)
{
    if (!createRecordDraft(w.draft)) {
        printLaunchFailure(w, "writing record", errno);
        return -1;
    }
    int fds[2];
    if (pipe(fds) != 0) {
        printLaunchFailure(w, "fork", errno);
        discardRecordDraft(w.draft);
        return -1;
    }
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);

    // Whatever stdio holds now must not be written twice.
    fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) {
        int err = errno;
        close(fds[0]);
        close(fds[1]);
        discardRecordDraft(w.draft);
        printLaunchFailure(w, "fork", err);
        return -1;
    }
    if (pid == 0) {
        close(fds[0]);
        w.ready = fds[1];
        detachWorker();
        // Without its lock the worker could never be found: end at once,
        // and the record the invoker writes names no live worker.
        if (!holdRecord(w.draft))
            _exit(1);
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            close(null);
        }
        return 0;
    }
    close(fds[1]);
    awaitReady(fds[0]);
    close(fds[0]);
    return pid;
}

void reportWorkerReady(WorkerLaunch& w)
{
    fflush(stdout);
    (void)!write(w.ready, "", 1);
    close(w.ready);
    w.ready = -1;
}

void abandonWorker(WorkerLaunch& w, int pid)
{
    int err = errno;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    printLaunchFailure(w, "writing record", err);
}

void sleepTenSeconds()
{
    struct timespec ten = {10, 0};
    nanosleep(&ten, nullptr);
}
