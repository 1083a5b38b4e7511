// The per-pin lock of worker starts and stops.
#include "pinlock.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The pin whose lock this process holds: a stop within a start takes it
// no second time (closing a second descriptor would drop the first's lock).
static int lockedPin = -1;

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
    return 0;
}

static int takeLock(int fd)
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    // Waits back off from 1 ms to 64 ms: a start takes milliseconds.
    struct timespec waited = {0, 0}, tick = {0, 1000000};
    for (;;) {
        if (fcntl(fd, F_SETLK, &lock) == 0)
            return 0;
        if (errno != EACCES && errno != EAGAIN && errno != EINTR)
            return errno;
        if (waited.tv_sec * 1000 + waited.tv_nsec / 1000000 >= PIN_LOCK_WAIT_MS)
            return ETIMEDOUT;
        nanosleep(&tick, nullptr);
        waited.tv_nsec += tick.tv_nsec;
        waited.tv_sec += waited.tv_nsec / 1000000000;
        waited.tv_nsec %= 1000000000;
        if (tick.tv_nsec < 64000000)
            tick.tv_nsec *= 2;
    }
}

PinWorkersLock::PinWorkersLock(int pin)
{
    if (pin == lockedPin)
        return;
    char path[64];
    snprintf(path, sizeof path, "/tmp/.pinctl-pin%d.lock", pin);
    int f = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (f < 0) {
        err = errno;
        return;
    }
    err = checkLockFile(f);
    if (err == 0)
        err = takeLock(f);
    if (err != 0) {
        close(f);
        return;
    }
    fd = f;
    lockedPin = pin;
}

PinWorkersLock::~PinWorkersLock()
{
    if (fd >= 0) {
        close(fd);
        lockedPin = -1;
    }
}
