#include "registration.h"

#include "threads.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace linuxboard {

// How long a lost keeper is looked for again, how often, and how long one
// try may take.
static const int AGAIN_MS = 10000;
static const int AGAIN_STEP_MS = 100;
static const int TRY_MS = 1500;

struct Registration {
    Request req;
    int fd = -1;
    std::atomic<int> conn{-1};
    int wake[2] = {-1, -1};  // a byte here ends the thread
    pthread_t thread;
    std::atomic<bool> dropped{false};
};

// Registers again with a new keeper; false if none could be had in time.
// Each try has a bound of its own: the keeper that just died may still
// have taken the first request into a queue that will never be read (its
// socket goes after the connection that woke us), and a request whose
// time is up is never carried out, so trying again is safe.
static bool registerAgain(Registration* r)
{
    Deadline d(AGAIN_MS);
    do {
        int conn = -1;
        int left = d.leftMs();
        if (handToKeeper(r->req, r->fd, &conn, Deadline(left < TRY_MS ? left : TRY_MS)) == 0) {
            r->conn.store(conn);
            return true;
        }
    } while (pauseWithin(d, AGAIN_STEP_MS));
    return false;
}

static void* follow(void* arg)
{
    Registration* r = static_cast<Registration*>(arg);
    for (;;) {
        struct pollfd p[2] = {{r->conn.load(), POLLIN, 0}, {r->wake[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (p[1].revents != 0)
            break;
        char byte = 0;
        ssize_t n = read(r->conn.load(), &byte, 1);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        close(r->conn.exchange(-1));
        if (n == 1 && byte == DROPPED) {
            r->dropped.store(true);
            break;
        }
        // The keeper has gone.
        if (!registerAgain(r))
            break;
    }
    return nullptr;
}

int startRegistration(const Request& req, int fd, Registration*& reg, const Deadline& d)
{
    Registration* r = new Registration;
    r->req = req;
    r->fd = fd;
    int conn = -1;
    int err = pipe2(r->wake, O_CLOEXEC) != 0 ? errno : handToKeeper(req, fd, &conn, d);
    r->conn.store(conn);
    if (err == 0)
        err = startThread(r->thread, follow, r);
    if (err != 0) {
        if (conn >= 0)
            close(conn);
        if (r->wake[0] >= 0) {
            close(r->wake[0]);
            close(r->wake[1]);
        }
        delete r;
        return err;
    }
    reg = r;
    return 0;
}

bool isRegistered(const Registration* reg)
{
    return !reg->dropped.load();
}

void endRegistration(Registration* r)
{
    (void)!write(r->wake[1], "", 1);
    pthread_join(r->thread, nullptr);
    int conn = r->conn.exchange(-1);
    if (conn >= 0)
        close(conn);
    close(r->wake[0]);
    close(r->wake[1]);
    delete r;
}

void forgetRegistration(Registration* r)
{
    int conn = r->conn.exchange(-1);
    if (conn >= 0)
        close(conn);
    close(r->wake[0]);
    close(r->wake[1]);
}

}  // namespace linuxboard
