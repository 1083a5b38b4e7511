// startWorker and stopWorker: the whole life of a background worker.
//
// A start forks the worker with a socket pair between the two. The worker
// detaches (a session of its own, so a script's Ctrl-C or hang-up does not
// reach it), undoes the signal state its caller may have left it, takes
// its record's lock, sets up its pin and reports "set up". The invoker
// then names the record and sends "go": only then does the worker go live
// and its run begin. Should the invoker fail or be killed before that,
// the worker sees its end of the socket close and ends too, so no worker
// ever runs, nor any of its commands, without a record naming it.
#include "worker.h"

#include "deadline.h"
#include "workers.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// How long a stop waits for its worker to end after each signal.
static const int STOP_WAIT_MS = 1000;

// The worker's word that its setup failed and it has said why: no errno.
static const int SETUP_FAILED = -1;

void reportWorkerFailure(const char* doing, const WorkerKind& kind, int pin,
                         const std::string& what, int err)
{
    printf("**ERROR %s %s on pin:%d, %s failed err=%d\n", doing, kind.name, pin, what.c_str(), err);
}

void sleepTenSeconds()
{
    struct timespec ten = {10, 0};
    nanosleep(&ten, nullptr);
}

// --- In the worker.

static pthread_mutex_t liveMutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t liveCond = PTHREAD_COND_INITIALIZER;
static bool live = false;

void awaitLive()
{
    pthread_mutex_lock(&liveMutex);
    while (!live)
        pthread_cond_wait(&liveCond, &liveMutex);
    pthread_mutex_unlock(&liveMutex);
}

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

static void sendStatus(int link, int status)
{
    (void)!send(link, &status, sizeof status, MSG_NOSIGNAL);
}

static void prepareWorker(int link, const RecordDraft& draft)
{
    setsid();
    resetSignals();
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        close(null);
    }
    if (int err = holdRecord(draft)) {
        sendStatus(link, err);
        _exit(1);
    }
}

// Reports the setup done and returns once the record names this worker;
// if it never will (the start failed or was killed before naming it), the
// worker ends. A start killed between naming the record and its word (a
// hang-up of its caller's terminal, say) leaves a worker that the record
// names: that one goes live.
static void goLive(int link, const std::string& record, int draftFd)
{
    fflush(stdout);
    sendStatus(link, 0);
    char go = 0;
    ssize_t n;
    do {
        n = recv(link, &go, 1, 0);
    } while (n < 0 && errno == EINTR);
    if (n != 1 && !namesFile(record, draftFd))
        _exit(0);
    close(link);
    pthread_mutex_lock(&liveMutex);
    live = true;
    pthread_cond_broadcast(&liveCond);
    pthread_mutex_unlock(&liveMutex);
}

void endWorker()
{
    fflush(stdout);
    _exit(0);
}

// --- In the invoking process.

// The worker's word on its setup: 0 once it is set up, SETUP_FAILED or
// its own failure code, ECHILD when it ended without a word, ETIMEDOUT
// past the bound.
static int awaitReady(int link, int waitBound)
{
    int status = 0;
    size_t got = 0;
    while (got < sizeof status) {
        struct pollfd p = {link, POLLIN, 0};
        int left = waitMs(waitBound);
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

// Ends a worker that never went live, and reaps it if it can in time.
static void abandonWorker(int pid)
{
    kill(pid, SIGKILL);
    for (int waited = 0;; waited++) {
        int r = waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR) || waitMs(STOP_WAIT_MS - waited) <= 0)
            return;
        sleepMilliseconds(1);
    }
}

// Sends sig to the worker and waits, within the bound, for the record
// open at fd to name it no more: 0 once it has ended, else an errno value.
static int signalWorker(int fd, const Record& rec, int pid, const WorkerKind& kind, int pin,
                        int sig)
{
    if (kill(pid, sig) != 0)
        return errno == ESRCH ? 0 : errno;
    for (int waited = 0; waitMs(STOP_WAIT_MS - waited) > 0; waited++) {
        if (recordedWorker(fd, rec, kind, pin) == 0)
            return 0;
        sleepMilliseconds(1);
    }
    return recordedWorker(fd, rec, kind, pin) == 0 ? 0 : ETIMEDOUT;
}

// Ends the kind's worker on the pin whose lock files holds, and removes
// its record; 0, or an errno value after an "**ERROR" line.
static int stopLocked(PinFiles& files, const WorkerKind& kind)
{
    const std::string path = files.record(kind);
    int fd = openRecord(path);
    if (fd < 0) {
        int err = errno;
        // A symbolic link is no record: remove it, never follow it.
        if (err == ELOOP)
            unlink(path.c_str());
        if (err == ENOENT || err == ELOOP)
            return 0;
        reportWorkerFailure("stopping", kind, files.pin, "reading record", err);
        return err;
    }
    Record rec;
    int err = readRecord(fd, rec);
    if (err != 0) {
        close(fd);
        reportWorkerFailure("stopping", kind, files.pin, "reading record", err);
        return err;
    }
    int pid = recordedWorker(fd, rec, kind, files.pin);
    // A worker this process cannot see cannot be signalled: it keeps its
    // record and stays within reach of a stop that can.
    if (pid == NO_WORKER_ID)
        err = ESRCH;
    if (pid > 0) {
        err = signalWorker(fd, rec, pid, kind, files.pin, SIGTERM);
        if (err == ETIMEDOUT)
            err = signalWorker(fd, rec, pid, kind, files.pin, SIGKILL);
    }
    // A worker still running keeps its record: it stays within reach.
    if (err == 0 && namesFile(path, fd))
        unlink(path.c_str());
    close(fd);
    if (err != 0)
        reportWorkerFailure("stopping", kind, files.pin,
                            "ending process " + std::to_string(pid > 0 ? pid : rec.pid), err);
    return err;
}

int startWorker(const WorkerStart& s, int readyWaitMs)
{
    PinFiles files(s.pin);
    std::string what;
    if (int err = files.lock(what)) {
        reportWorkerFailure("starting", s.kind, s.pin, what, err);
        return 1;
    }
    if (stopLocked(files, PWM_WORKER) != 0 || stopLocked(files, IRQ_WORKER) != 0)
        return 1;

    RecordDraft draft;
    if (int err = createRecordDraft(files.draft(s.kind), draft)) {
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
        if (s.setup() != 0) {
            fflush(stdout);
            sendStatus(link[1], SETUP_FAILED);
            endWorker();
        }
        goLive(link[1], files.record(s.kind), draft.fd);
        s.run();
        endWorker();
    }
    close(link[1]);

    what = "worker setup";
    int err = awaitReady(link[0], readyWaitMs);
    if (err == 0) {
        what = "writing record";
        err = s.note(pid, draft);
    }
    if (err == 0) {
        what = "worker setup";
        err = sendGo(link[0]);
    }
    // A worker given up on is ended before its link closes: it must not
    // take the close for a start killed after naming its record.
    if (err != 0)
        abandonWorker(pid);
    close(link[0]);
    if (err != 0) {
        const std::string record = files.record(s.kind);
        // A record named for a worker that never went live names no one.
        if (namesFile(record, draft.fd))
            unlink(record.c_str());
        discardRecordDraft(draft);
        if (err != SETUP_FAILED)
            reportWorkerFailure("starting", s.kind, s.pin, what, err);
        return 1;
    }
    close(draft.fd);
    return 0;
}

int stopWorker(const WorkerKind& kind, int pin)
{
    PinFiles files(pin);
    struct stat st;
    if (lstat(files.record(kind).c_str(), &st) != 0 && errno == ENOENT)
        return 0;
    // Something to remove: no start on the pin may name a record meanwhile.
    std::string what;
    if (int err = files.lock(what)) {
        reportWorkerFailure("stopping", kind, pin, what, err);
        return err;
    }
    return stopLocked(files, kind);
}

int stopPWM(int pin)
{
    return stopWorker(PWM_WORKER, pin);
}

int stopIRQ(int pin)
{
    return stopWorker(IRQ_WORKER, pin);
}
