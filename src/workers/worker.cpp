// startWorker and stopWorker: the whole life of a background worker.
//
// A start forks the worker with a socket pair between the two. The worker
// detaches (a session of its own, so a script's Ctrl-C or hang-up does not
// reach it), undoes the signal state its caller may have left it, takes
// its record's lock, configures its pin and reports "set up". The invoker
// then names the record and sends "go": only then does the worker go
// live. Should the invoker fail or be killed before that, the worker sees
// its end of the socket close and ends too, so no worker ever runs
// without a record naming it.
#include "worker.h"

#include "pinlock.h"
#include "workers.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// How long a stop waits for its worker to end after each signal.
static const int STOP_WAIT_MS = 1000;

// In the worker: its end of the start's socket pair, until it goes live.
static int startLink = -1;

void reportWorkerFailure(const char* doing, const WorkerKind& kind, int pin,
                         const std::string& what, int err)
{
    printf("**ERROR %s %s on pin:%d, %s failed err=%d\n", doing, kind.name, pin, what.c_str(), err);
}

static void sleepMs(int ms)
{
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}

static int elapsedMs(const struct timespec& since)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int)((now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000);
}

void sleepTenSeconds()
{
    struct timespec ten = {10, 0};
    nanosleep(&ten, nullptr);
}

// --- In the worker.

// A caller may have left signals ignored or blocked (a script's trap, a
// daemon's mask): the worker must end on a stop's SIGTERM, and the
// commands it runs start with the usual handling.
static void resetSignals()
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; sig++) {
        struct sigaction now;
        if (sig != SIGKILL && sig != SIGSTOP && sigaction(sig, nullptr, &now) == 0 &&
            now.sa_handler == SIG_IGN)
            sigaction(sig, &dfl, nullptr);
    }
}

static void sendStatus(int status)
{
    (void)!send(startLink, &status, sizeof status, MSG_NOSIGNAL);
}

static void prepareWorker(int link, const RecordDraft& draft)
{
    startLink = link;
    setsid();
    resetSignals();
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        close(null);
    }
    if (int err = holdRecord(draft)) {
        sendStatus(err);
        _exit(1);
    }
}

void goLive()
{
    fflush(stdout);
    sendStatus(0);
    char go = 0;
    ssize_t n;
    do {
        n = recv(startLink, &go, 1, 0);
    } while (n < 0 && errno == EINTR);
    if (n != 1)
        _exit(0);
    close(startLink);
    startLink = -1;
}

void endWorker()
{
    fflush(stdout);
    _exit(0);
}

// --- In the invoking process.

// The worker's word on its setup: 0 once it is set up, its own failure
// code, ECHILD when it ended without a word, ETIMEDOUT past the bound.
static int awaitReady(int link, int waitMs)
{
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int status = 0;
    size_t got = 0;
    while (got < sizeof status) {
        int left = waitMs - elapsedMs(start);
        struct pollfd p = {link, POLLIN, 0};
        int r = left > 0 ? poll(&p, 1, left) : 0;
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return r == 0 ? ETIMEDOUT : errno;
        ssize_t n = recv(link, (char*)&status + got, sizeof status - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0 ? ECHILD : errno;
        got += (size_t)n;
    }
    return status;
}

static int sendGo(int link)
{
    ssize_t n;
    do {
        n = send(link, "g", 1, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == 1 ? 0 : errno;
}

// Ends a worker that never went live, and reaps it, within a bound.
static void abandonWorker(int pid)
{
    kill(pid, SIGKILL);
    for (int waited = 0; waited < STOP_WAIT_MS; waited++) {
        int r = waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR))
            return;
        sleepMs(1);
    }
}

int startWorker(const WorkerStart& s, int readyWaitMs)
{
    PinWorkersLock lock(s.pin);
    if (int err = lock.result()) {
        reportWorkerFailure("starting", s.kind, s.pin, "locking pin", err);
        return 1;
    }
    if (stopPWM(s.pin) != 0 || stopIRQ(s.pin) != 0)
        return 1;

    const std::string record = recordPath(s.kind, s.pin);
    RecordDraft draft;
    if (int err = createRecordDraft(record, draft)) {
        reportWorkerFailure("starting", s.kind, s.pin, "writing record", err);
        return 1;
    }
    int link[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, link) != 0) {
        int err = errno;
        discardRecordDraft(draft);
        reportWorkerFailure("starting", s.kind, s.pin, "socketpair", err);
        return 1;
    }
    // Whatever stdio holds now must not be written twice.
    fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) {
        int err = errno;
        close(link[0]);
        close(link[1]);
        discardRecordDraft(draft);
        reportWorkerFailure("starting", s.kind, s.pin, "fork", err);
        return 1;
    }
    if (pid == 0) {
        close(link[0]);
        prepareWorker(link[1], draft);
        s.run();
        endWorker();
    }
    close(link[1]);

    const char* what = "worker setup";
    int err = awaitReady(link[0], readyWaitMs);
    if (err == 0) {
        what = "writing record";
        err = s.note(pid, draft);
    }
    if (err == 0) {
        what = "worker setup";
        err = sendGo(link[0]);
    }
    close(link[0]);
    if (err != 0) {
        abandonWorker(pid);
        // A record named for a worker that never went live names no one.
        if (namesFile(record, draft.fd))
            unlink(record.c_str());
        discardRecordDraft(draft);
        reportWorkerFailure("starting", s.kind, s.pin, what, err);
        return 1;
    }
    close(draft.fd);
    return 0;
}

// Sends sig to the record's worker and waits, within the bound, for it to
// end: 0 once it has, else an errno value.
static int signalWorker(int fd, const Record& rec, const WorkerKind& kind, int pin, int sig)
{
    if (kill(rec.pid, sig) != 0)
        return errno == ESRCH ? 0 : errno;
    for (int waited = 0; waited < STOP_WAIT_MS; waited++) {
        if (recordedWorker(fd, rec, kind, pin) == 0)
            return 0;
        sleepMs(1);
    }
    return recordedWorker(fd, rec, kind, pin) == 0 ? 0 : ETIMEDOUT;
}

int stopWorker(const WorkerKind& kind, int pin)
{
    const std::string path = recordPath(kind, pin);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return 0;
    // Something to remove: no start on the pin may name a record meanwhile.
    PinWorkersLock lock(pin);
    if (int err = lock.result()) {
        reportWorkerFailure("stopping", kind, pin, "locking pin", err);
        return err;
    }
    int fd = openRecord(path);
    if (fd < 0) {
        // A symbolic link is no record: remove it, never follow it.
        if (errno == ELOOP)
            unlink(path.c_str());
        return 0;
    }
    Record rec = readRecord(fd);
    int err = 0;
    if (recordedWorker(fd, rec, kind, pin) > 0) {
        err = signalWorker(fd, rec, kind, pin, SIGTERM);
        if (err == ETIMEDOUT)
            err = signalWorker(fd, rec, kind, pin, SIGKILL);
    }
    // A worker still running keeps its record: it stays within reach.
    if (err == 0 && namesFile(path, fd))
        unlink(path.c_str());
    close(fd);
    if (err != 0)
        reportWorkerFailure("stopping", kind, pin, "ending process " + std::to_string(rec.pid),
                            err);
    return err;
}

int stopPWM(int pin)
{
    return stopWorker(PWM_WORKER, pin);
}

int stopIRQ(int pin)
{
    return stopWorker(IRQ_WORKER, pin);
}
