// The holders of a line and the moves between them.
#include "lineowner.h"

#include "deadline.h"
#include "protocol.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace linuxboard {

namespace {

// A step found the line between two holders of ours: look again.
const int AGAIN = -1;
const int AGAIN_STEP_MS = 5;

// --- Transit locks: the lines a process of ours holds itself.

// The line's transit lock file, open; -1 when there is no folder of ours
// to hold it.
int openTransitLock(const LineSite& site)
{
    static std::string folder;
    if (folder.empty() && ourFolder(folder) != 0) {
        folder.clear();
        return -1;
    }
    char path[128];
    snprintf(path, sizeof path, "%s/line%u.%u", folder.c_str(), site.chip, site.line);
    int flags = O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
    int fd = open(path, flags, 0600);
    // A umask that took our own reading away.
    if (fd < 0 && errno == EACCES && chmod(path, 0600) == 0)
        fd = open(path, flags, 0600);
    return fd;
}

// Marks the line held by this process, before it takes the line's request.
// Without a folder of ours nothing can be marked, and nothing is.
int takeTransit(const LineSite& site, LineHold& h)
{
    if (h.transit >= 0)
        return 0;
    int fd = openTransitLock(site);
    if (fd < 0)
        return 0;
    if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
        int err = errno;
        close(fd);
        // Another process of ours is making sure of the line.
        return err == EWOULDBLOCK ? AGAIN : err;
    }
    h.transit = fd;
    return 0;
}

void dropTransit(LineHold& h)
{
    if (h.transit >= 0)
        close(h.transit);
    h.transit = -1;
}

Request lineRequest(KeeperOp op, const LineSite& site, int arg = 0)
{
    Request req;
    req.op = op;
    req.arg = (int8_t)arg;
    req.chip = site.chip;
    req.index = site.line;
    return req;
}

// A line under our label that our keeper does not have: AGAIN when a
// process of ours holds it (its transit lock), EBUSY when the label is
// another's forgery. While the lock is ours alone no process of ours can
// take the line, so what the kernel and the keeper say then stands.
int confirmOurs(const LineSite& site)
{
    int fd = openTransitLock(site);
    if (fd < 0)
        return EBUSY;
    int err = 0;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        err = errno == EWOULDBLOCK ? AGAIN : EBUSY;
    } else {
        gpio_v2_line_info info;
        err = readLineInfo(site, info);
        Reply reply;
        if (err == 0 && (info.flags & GPIO_V2_LINE_FLAG_USED) && isOurConsumer(info))
            err = askKeeper(lineRequest(READ, site), -1, reply, nullptr, waitBudget());
        // Free now, another's, or the keeper took it meanwhile: look again.
        if (err == 0)
            err = reply.err == ESRCH ? EBUSY : AGAIN;
        else if (err == ESRCH)
            err = EBUSY;
    }
    close(fd);
    return err;
}

// Asks the keeper about the line: ESRCH (it does not have it: see whether
// a process of ours does) and EBUSY (its interrupt worker does) may change
// any moment, so look again.
int askAboutLine(KeeperOp op, const LineSite& site, int arg, int* value, int* fd)
{
    Reply reply;
    int err = askKeeper(lineRequest(op, site, arg), -1, reply, fd, waitBudget());
    if (err == 0)
        err = reply.err;
    if (err == 0 && value != nullptr)
        *value = reply.value;
    return err == ESRCH ? confirmOurs(site) : err == EBUSY ? AGAIN : err;
}

// A line under our label as an input, which an interrupt worker of ours
// would hold: AGAIN while one does, EBUSY when none does.
int awaitWorker(const LineSite& site)
{
    int err = askAboutLine(READ, site, 0, nullptr, nullptr);
    return err == 0 ? AGAIN : err;
}

// UNKNOWN: who holds the line, as the kernel tells.
int findHolder(const LineSite& site, LineHold& h)
{
    gpio_v2_line_info info;
    if (int err = readLineInfo(site, info))
        return err;
    h.output = (info.flags & GPIO_V2_LINE_FLAG_OUTPUT) != 0;
    if (!(info.flags & GPIO_V2_LINE_FLAG_USED))
        h.holder = Holder::NOBODY;
    else if (!isOurConsumer(info))
        return EBUSY;
    else
        h.holder = h.output ? Holder::KEEPER : Holder::WORKER;
    return 0;
}

// NOBODY to US.
int requestHere(const LineSite& site, LineHold& h, const LineConfig& config,
                uint32_t eventBuffer = 0)
{
    int err = takeTransit(site, h);
    if (err == 0)
        err = requestLine(site, config, eventBuffer, h.fd);
    if (err != 0) {
        dropTransit(h);
        return err == EBUSY ? AGAIN : err;
    }
    h.holder = Holder::US;
    if (config.flags & (GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_OUTPUT))
        h.output = (config.flags & GPIO_V2_LINE_FLAG_OUTPUT) != 0;
    return 0;
}

// US to KEEPER, which makes the line the output asked for (level -1: at
// the level it has) as it takes it: should it not, the line was never
// driven.
int keepInKeeper(const LineSite& site, LineHold& h, int level)
{
    int err = handToKeeper(lineRequest(KEEP, site, level), h.fd, nullptr, waitBudget());
    if (err != 0)
        return err;
    close(h.fd);
    h.fd = -1;
    dropTransit(h);
    h.holder = Holder::KEEPER;
    h.output = true;
    return 0;
}

// KEEPER to US.
int takeFromKeeper(const LineSite& site, LineHold& h)
{
    int fd = -1;
    int err = takeTransit(site, h);
    if (err == 0)
        err = askAboutLine(TAKE, site, 0, nullptr, &fd);
    if (err != 0) {
        dropTransit(h);
        return err;
    }
    h.fd = fd;
    h.holder = Holder::US;
    h.output = true;
    return 0;
}

// KEEPER to NOBODY.
int releaseByKeeper(const LineSite& site, LineHold& h, bool asInput)
{
    int err = askAboutLine(RELEASE, site, asInput ? 1 : 0, nullptr, nullptr);
    if (err == 0) {
        h.holder = Holder::NOBODY;
        h.output = h.output && !asInput;
    }
    return err;
}

// The output of ours, configured and driven (level -1: as it is).
int driveHere(LineHold& h, int level)
{
    if (h.output)
        return level < 0 ? 0 : driveLevel(h.fd, level);
    LineConfig config;
    config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
    config.level = level;
    int err = level < 0 ? readLevel(h.fd, config.level) : 0;
    if (err == 0)
        err = configureLine(h.fd, config);
    if (err == 0)
        h.output = true;
    return err;
}

int outputStep(const LineSite& site, LineHold& h, int level, bool keep)
{
    int err = 0;
    switch (h.holder) {
    case Holder::NOBODY: {
        // Requested as it is, so that an output keeps its level until we
        // drive it.
        LineConfig asItIs;
        err = requestHere(site, h, asItIs);
        break;
    }
    case Holder::KEEPER:
        // The keeper drives what it holds; a line it is to give up comes
        // back with its level, never released in between.
        if (keep)
            return level < 0 ? 0 : askAboutLine(DRIVE, site, level, nullptr, nullptr);
        err = takeFromKeeper(site, h);
        break;
    case Holder::WORKER:
        return awaitWorker(site);
    default:
        break;
    }
    if (err == 0)
        err = keep ? keepInKeeper(site, h, level) : driveHere(h, level);
    return err;
}

int inputStep(const LineSite& site, LineHold& h)
{
    switch (h.holder) {
    case Holder::NOBODY:
        if (!h.output)
            return 0;
        {
            LineConfig input;
            input.flags = GPIO_V2_LINE_FLAG_INPUT;
            return requestHere(site, h, input);
        }
    case Holder::US:
        if (h.output) {
            LineConfig input;
            input.flags = GPIO_V2_LINE_FLAG_INPUT;
            if (int err = configureLine(h.fd, input))
                return err;
            h.output = false;
        }
        return 0;
    case Holder::KEEPER:
        return releaseByKeeper(site, h, true);
    default:
        return 0;
    }
}

int readStep(const LineSite& site, LineHold& h, int& level)
{
    switch (h.holder) {
    case Holder::NOBODY: {
        LineConfig asItIs;
        if (int err = requestHere(site, h, asItIs))
            return err;
        return readLevel(h.fd, level);
    }
    case Holder::US:
        return readLevel(h.fd, level);
    default:
        return askAboutLine(READ, site, 0, &level, nullptr);
    }
}

int freeStep(const LineSite& site, LineHold& h)
{
    switch (h.holder) {
    case Holder::US:
        letGo(h);
        return 0;
    case Holder::KEEPER:
        return releaseByKeeper(site, h, false);
    case Holder::WORKER:
        return awaitWorker(site);
    default:
        return 0;
    }
}

// Runs step until it no longer finds the line between holders, looking
// again at who holds it each time, within the wait budget.
template <typename Step>
int settle(const LineSite& site, LineHold& h, const Step& step)
{
    for (;;) {
        int err = h.holder == Holder::UNKNOWN ? findHolder(site, h) : 0;
        if (err == 0)
            err = step();
        if (err != AGAIN)
            return err;
        if (h.holder != Holder::US)
            h.holder = Holder::UNKNOWN;
        if (!pauseWithin(waitBudget(), AGAIN_STEP_MS))
            return EBUSY;
    }
}

}  // namespace

int makeOutput(const LineSite& site, LineHold& h, int level, bool keep)
{
    return settle(site, h, [&] { return outputStep(site, h, level, keep); });
}

int makeInput(const LineSite& site, LineHold& h)
{
    return settle(site, h, [&] { return inputStep(site, h); });
}

int readLine(const LineSite& site, LineHold& h, int& level)
{
    return settle(site, h, [&] { return readStep(site, h, level); });
}

int requestAfresh(const LineSite& site, LineHold& h, const LineConfig& config, uint32_t eventBuffer)
{
    return settle(site, h, [&] {
        int err = freeStep(site, h);
        return err != 0 ? err : requestHere(site, h, config, eventBuffer);
    });
}

int freeLine(const LineSite& site, LineHold& h)
{
    return settle(site, h, [&] { return freeStep(site, h); });
}

int lendLine(const LineSite& site, LineHold& h)
{
    if (h.holder != Holder::US)
        return EINVAL;
    return startRegistration(lineRequest(LEND, site), h.fd, h.lent, waitBudget());
}

void letGo(LineHold& h)
{
    if (h.lent != nullptr)
        endRegistration(h.lent);
    h.lent = nullptr;
    if (h.fd >= 0)
        close(h.fd);
    h.fd = -1;
    dropTransit(h);
    if (h.holder == Holder::US)
        h.holder = Holder::NOBODY;
}

}  // namespace linuxboard
