#include "fileio.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace simboard {

int errnoOrEio()
{
    return errno != 0 ? errno : EIO;
}

int openFile(const std::string& path, int flags, int mode)
{
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int readAll(int fd, std::string& text)
{
    text.clear();
    char buf[4096];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd, buf, sizeof buf, at);
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
            at += n;
        } else if (n == 0) {
            return 0;
        } else if (errno != EINTR) {
            return errnoOrEio();
        }
    }
}

int writeAt(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n =
            ::pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n >= 0) {
            done += static_cast<size_t>(n);
        } else if (errno != EINTR) {
            return errnoOrEio();
        }
    }
    return 0;
}

namespace {

int writeBy(int fd, const std::string& data, const Deadline& deadline)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n >= 0) {
            done += static_cast<size_t>(n);
        } else if (errno == EAGAIN) {
            const int leftMs = deadline.leftMs();
            if (leftMs == 0)
                return ETIMEDOUT;
            struct pollfd pfd = {fd, POLLOUT, 0};
            const int64_t start = monotonicNs();
            const int r = ::poll(&pfd, 1, leftMs);
            spendWaitBudget(monotonicNs() - start);
            if (r < 0 && errno != EINTR)
                return errnoOrEio();
        } else if (errno != EINTR) {
            return errnoOrEio();
        }
    }
    return 0;
}

}  // namespace

int writeToPipe(int fd, const std::string& data, const Deadline& deadline)
{
    // A write to a pipe without a reader raises SIGPIPE in the writing
    // thread. Block it here and swallow the one this write raised, leaving
    // the process's own handling of SIGPIPE untouched.
    sigset_t pipeOnly, saved, pending;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &saved);
    sigemptyset(&pending);
    sigpending(&pending);
    const bool wasPending = sigismember(&pending, SIGPIPE) == 1;
    const int err = writeBy(fd, data, deadline);
    if (err == EPIPE && !wasPending) {
        const struct timespec now = {0, 0};
        while (sigtimedwait(&pipeOnly, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    return err;
}

}  // namespace simboard
