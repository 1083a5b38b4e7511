// The pin's file names and its lock.
#include "pinfiles.h"

#include "deadline.h"
#include "records.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const WorkerKind PWM_WORKER = {"PWM", "pwm"};
const WorkerKind IRQ_WORKER = {"IRQ", "irq"};

static const char TMP[] = "/tmp";

std::string recordPath(const WorkerKind& kind, int pin)
{
    char path[64];
    snprintf(path, sizeof path, "%s/pin%d_%s_pid", TMP, pin, kind.word);
    return path;
}

std::string PinFiles::draft(const WorkerKind& kind) const
{
    char path[64];
    snprintf(path, sizeof path, "%s/.pin%d_%s_pid.draft", TMP, pin, kind.word);
    return path;
}

// Whether /tmp keeps our files ours: no one but root or us may remove or
// rename what we put there. A /tmp that is a link (into a volatile /var,
// say) is followed if root or we made it, and the folder it names checked.
static int checkTmp()
{
    struct stat st;
    if (lstat(TMP, &st) != 0)
        return errno;
    if (S_ISLNK(st.st_mode) && (st.st_uid == 0 || st.st_uid == geteuid()) && stat(TMP, &st) != 0)
        return errno;
    if (!S_ISDIR(st.st_mode))
        return ENOTDIR;
    bool ownerOk = st.st_uid == 0 || st.st_uid == geteuid();
    bool othersWrite = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    return ownerOk && (!othersWrite || (st.st_mode & S_ISVTX)) ? 0 : EPERM;
}

// Whether the file open at fd is ours to lock: no other user could have
// prepared it, nor can open it now.
static int checkLockFile(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || (st.st_mode & 077) != 0 ||
        (st.st_uid != geteuid() && st.st_uid != 0))
        return EPERM;
    // Made under a umask that took our own write bit: ours to mend.
    if ((st.st_mode & 0600) != 0600 && st.st_uid == geteuid() && fchmod(fd, 0600) != 0)
        return errno;
    return 0;
}

// Opens the lock file, made mode 0600 whatever the umask; a file of ours
// that the umask left unwritable is opened for reading and mended first.
//
// Root takes a pin over from another user: a file of theirs is opened all
// the same (foreign), to be made root's once locked, so that no start or
// stop of theirs is half way; anything their start would refuse as well
// (a link, a second name, no regular file) is removed, and EAGAIN asks
// for another try.
static int openLockFile(const char* path, int& fd, bool& foreign)
{
    foreign = false;
    fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0 && errno == ELOOP && geteuid() == 0)
        return unlink(path) == 0 || errno == ENOENT ? EAGAIN : errno;
    if (fd < 0 && errno == EACCES) {
        int readable = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (readable < 0)
            return EACCES;
        int err = checkLockFile(readable);
        close(readable);
        // Root meets EACCES only where the system keeps it from O_CREAT on
        // another user's file in a sticky /tmp (fs.protected_regular).
        if (err != 0 && geteuid() != 0)
            return err;
        fd = open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    }
    if (fd < 0)
        return errno;
    int err = checkLockFile(fd);
    struct stat st;
    if (err == EPERM && geteuid() == 0 && fstat(fd, &st) == 0) {
        foreign = S_ISREG(st.st_mode) && st.st_nlink == 1;
        if (foreign)
            return 0;
        err = !namesFile(path, fd) || unlink(path) == 0 ? EAGAIN : errno;
    }
    if (err != 0) {
        close(fd);
        fd = -1;
    }
    return err;
}

static int takeLock(int fd)
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    // Waits back off from 1 ms to 64 ms: a start takes milliseconds.
    for (int waited = 0, tick = 1;;) {
        if (fcntl(fd, F_SETLK, &lock) == 0)
            return 0;
        if (errno != EACCES && errno != EAGAIN && errno != EINTR)
            return errno;
        int step = waitMs(tick);
        if (waited >= PIN_LOCK_WAIT_MS || step == 0)
            return ETIMEDOUT;
        sleepMilliseconds(step);
        waited += step;
        if (tick < 64)
            tick *= 2;
    }
}

int PinFiles::lock(std::string& what)
{
    what = "checking /tmp";
    if (int err = checkTmp())
        return err;
    what = "locking pin";
    char path[64];
    snprintf(path, sizeof path, "%s/.pinctl-pin%d.lock", TMP, pin);
    for (;;) {
        int f = -1;
        bool foreign = false;
        int err = openLockFile(path, f, foreign);
        if (err == 0)
            err = takeLock(f);
        if (err == 0 && foreign && (fchown(f, 0, 0) != 0 || fchmod(f, 0600) != 0))
            err = errno;
        // A lock on a file the name no longer stands for locks out no one.
        if (err == 0 && !namesFile(path, f))
            err = EAGAIN;
        if (err == 0) {
            fd = f;
            return 0;
        }
        if (f >= 0)
            close(f);
        if (err != EAGAIN)
            return err;
        if (waitMs(1) == 0)
            return ETIMEDOUT;
        sleepMilliseconds(1);
    }
}

PinFiles::~PinFiles()
{
    if (fd >= 0)
        close(fd);
}
