// Writing, reading and stopping worker records.
#include "records.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Nothing a record holds comes near this; more is not read.
static const size_t RECORD_MAX = size_t{64} * 1024;
// How long a stop waits for its worker to end.
static const int STOP_WAIT_MS = 1000;
// How long a start or stop waits for another on its pin to finish.
static const int PIN_LOCK_WAIT_MS = 5000;

static std::string recordPath(int pin, const char* kind)
{
    char path[64];
    snprintf(path, sizeof path, "/tmp/pin%d_%s_pid", pin, kind);
    return path;
}

std::string recordPathPWM(int pin) { return recordPath(pin, "pwm"); }
std::string recordPathIRQ(int pin) { return recordPath(pin, "irq"); }

bool createRecordDraft(RecordDraft& draft)
{
    char path[] = "/tmp/.pinctl-record-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return false;
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    fchmod(fd, 0644);
    draft.fd = fd;
    draft.path = path;
    return true;
}

static struct flock wholeFile(short type)
{
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return lock;
}

bool holdRecord(const RecordDraft& draft)
{
    struct flock lock = wholeFile(F_WRLCK);
    return fcntl(draft.fd, F_SETLK, &lock) == 0;
}

void discardRecordDraft(RecordDraft& draft)
{
    int saved = errno;
    if (draft.fd >= 0) {
        unlink(draft.path.c_str());
        close(draft.fd);
    }
    draft.fd = -1;
    errno = saved;
}

static bool writeAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return true;
}

static bool publishRecord(RecordDraft& draft, const std::string& path, int pid,
                          const std::string& params)
{
    std::string text = std::to_string(pid) + "\n" + params;
    if (!writeAll(draft.fd, text) || rename(draft.path.c_str(), path.c_str()) != 0) {
        if (errno == 0)
            errno = EIO;
        discardRecordDraft(draft);
        return false;
    }
    close(draft.fd);
    draft.fd = -1;
    return true;
}

bool noteChildPIDPWM(int pin, int pid, int freq, int duty, RecordDraft& draft)
{
    char params[64];
    snprintf(params, sizeof params, "Frequency:%d, Duty:%d\n", freq, duty);
    return publishRecord(draft, recordPathPWM(pin), pid, params);
}

bool noteChildPIDIRQ(int pin, int pid, GPIO_Irq_Type type, const char* cmd, int debounce,
                     RecordDraft& draft)
{
    const char* word = type == GPIO_IRQ_RISING ? "Rising" : type == GPIO_IRQ_FALLING ? "Falling" : "Both";
    std::string params = std::string("Type:") + word + ", Cmd:'" + cmd +
                         "', Debounce:" + std::to_string(debounce) + "\n";
    return publishRecord(draft, recordPathIRQ(pin), pid, params);
}

static int openRecord(const std::string& path)
{
    return open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

static Record readRecord(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return Record();

    std::string text;
    char buf[4096];
    ssize_t n;
    while (text.size() < RECORD_MAX && (n = read(fd, buf, sizeof buf)) != 0) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        text.append(buf, (size_t)n);
    }
    return parseRecord(text);
}

Record parseRecord(const std::string& text)
{
    Record rec;
    size_t end1 = text.find('\n');
    std::string first = text.substr(0, end1);
    errno = 0;
    long pid = strtol(first.c_str(), nullptr, 10);
    if (errno == 0 && pid > 0 && pid <= INT_MAX)
        rec.pid = (int)pid;
    if (end1 != std::string::npos) {
        size_t end2 = text.find('\n', end1 + 1);
        rec.params = text.substr(end1 + 1, end2 == std::string::npos ? std::string::npos : end2 - end1 - 1);
    }
    return rec;
}

// Whether process pid is alive and holds the lock on the record open at fd:
// that is, whether it is the worker the record names.
static bool isHeldBy(int fd, int pid)
{
    if (pid <= 0)
        return false;
    struct flock lock = wholeFile(F_WRLCK);
    if (fcntl(fd, F_GETLK, &lock) != 0)
        return false;
    return lock.l_type != F_UNLCK && lock.l_pid == pid;
}

static bool getWorkerInf(const std::string& path, std::string& dst)
{
    int fd = openRecord(path);
    if (fd < 0)
        return false;
    Record rec = readRecord(fd);
    bool live = isHeldBy(fd, rec.pid);
    if (live)
        dst = "\tProcess Id:" + std::to_string(rec.pid) + "\n\t" + rec.params;
    close(fd);
    return live;
}

bool getPWMInf(int pin, std::string& dst) { return getWorkerInf(recordPathPWM(pin), dst); }
bool getIRQInf(int pin, std::string& dst) { return getWorkerInf(recordPathIRQ(pin), dst); }

// Waits, within a bound, for a terminated worker to let go of its record,
// which it does as it ends; then a stop leaves nothing running behind it.
static void waitForRelease(int fd, int pid)
{
    struct timespec tick = {0, 1000000};
    for (int waited = 0; waited < STOP_WAIT_MS && isHeldBy(fd, pid); waited++)
        nanosleep(&tick, nullptr);
}

// Whether path still names the file open at fd.
static bool namesFile(const std::string& path, int fd)
{
    struct stat byName, byFd;
    return lstat(path.c_str(), &byName) == 0 && fstat(fd, &byFd) == 0 &&
           byName.st_dev == byFd.st_dev && byName.st_ino == byFd.st_ino;
}

static void stopWorker(int pin, const std::string& path)
{
    int fd = openRecord(path);
    bool link = fd < 0 && errno == ELOOP;
    if (fd < 0 && !link)
        return;
    // Something to remove: no start on the pin may name a record meanwhile.
    PinWorkersLock lock(pin);
    if (link) {
        // A symbolic link is no record: remove it, never follow it.
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            unlink(path.c_str());
        return;
    }
    Record rec = readRecord(fd);
    if (isHeldBy(fd, rec.pid) && kill(rec.pid, SIGTERM) == 0)
        waitForRelease(fd, rec.pid);
    // A new record may have taken the name meanwhile: leave that one be.
    if (namesFile(path, fd))
        unlink(path.c_str());
    close(fd);
}

// The pin whose lock this process holds: a stop within a start takes it
// no second time (closing a second descriptor would drop the first's lock).
static int lockedPin = -1;

PinWorkersLock::PinWorkersLock(int pin) : fd(-1)
{
    if (pin == lockedPin)
        return;
    char path[64];
    snprintf(path, sizeof path, "/tmp/.pinctl-pin%d.lock", pin);
    int f = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (f < 0)
        return;
    struct stat st;
    struct flock lock = wholeFile(F_WRLCK);
    struct timespec tick = {0, 1000000};
    for (int waited = 0; fstat(f, &st) == 0 && S_ISREG(st.st_mode); waited++) {
        if (fcntl(f, F_SETLK, &lock) == 0) {
            fd = f;
            lockedPin = pin;
            return;
        }
        if ((errno != EACCES && errno != EAGAIN && errno != EINTR) || waited >= PIN_LOCK_WAIT_MS)
            break;
        nanosleep(&tick, nullptr);
    }
    close(f);
}

PinWorkersLock::~PinWorkersLock()
{
    if (fd >= 0) {
        close(fd);
        lockedPin = -1;
    }
}

void stopPWM(int pin) { stopWorker(pin, recordPathPWM(pin)); }
void stopIRQ(int pin) { stopWorker(pin, recordPathIRQ(pin)); }
