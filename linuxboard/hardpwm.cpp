#include "hardpwm.h"

#include "detach.h"
#include "owners.h"
#include "timing.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace linuxboard {

const char PWM_SYSFS[] = "/sys/class/pwm";

// How long an export may take to show the channel's folder.
static const int EXPORT_WAIT_MS = 1000;

static std::string chipDir(const char* root, int chip)
{
    return std::string(root) + "/pwmchip" + std::to_string(chip);
}

static int writeAttribute(const std::string& path, const std::string& text)
{
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return errno;
    ssize_t n;
    do {
        n = write(fd, text.data(), text.size());
    } while (n < 0 && errno == EINTR);
    int err = n < 0 ? errno : (size_t)n != text.size() ? EIO : 0;
    close(fd);
    return err;
}

static bool readsOne(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    char c = 0;
    bool one = read(fd, &c, 1) == 1 && c == '1';
    close(fd);
    return one;
}

static bool isFolder(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

static int exportChannel(const char* root, int chip, int channel, const std::string& dir)
{
    if (isFolder(dir))
        return 0;
    int err = writeAttribute(chipDir(root, chip) + "/export", std::to_string(channel));
    if (err != 0 && err != EBUSY)
        return err;
    struct timespec tick = {0, 1000000};
    for (int waited = 0; waited < EXPORT_WAIT_MS; waited++) {
        if (isFolder(dir) && access((dir + "/enable").c_str(), W_OK) == 0)
            return 0;
        nanosleep(&tick, nullptr);
    }
    return ETIMEDOUT;
}

static int switchOff(const std::string& dir)
{
    return writeAttribute(dir + "/enable", "0");
}

// fds: our end of the pair, the listening socket, the channel's enable
// attribute. Switches the channel off when the pair closes or when asked.
static void watchChannel(const int* fds, int)
{
    int link = fds[0];
    int listenFd = fds[1];
    int enable = fds[2];
    for (;;) {
        struct pollfd p[2] = {{link, POLLIN, 0}, {listenFd, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            struct timespec pause = {0, 100000000};
            nanosleep(&pause, nullptr);
            continue;
        }
        int conn = -1;
        if (p[1].revents != 0 && !(p[0].revents)) {
            char ask = 0;
            conn = acceptRequest(listenFd, ask);
            if (conn >= 0 && ask != ASK_TAKE) {
                close(conn);
                continue;
            }
            if (conn == ACCEPT_NONE)
                continue;
        }
        // The starting process has ended, or a new start takes over.
        (void)!pwrite(enable, "0", 1, 0);
        close(listenFd);
        if (conn >= 0)
            sendReply(conn, REPLY_DONE, -1);
        _exit(0);
    }
}

// Has an earlier watcher of the channel switch it off and end.
static void dismissWatcher(const std::string& name)
{
    char reply = 0;
    int fd = -1;
    if (askOwner(name, ASK_TAKE, reply, fd) == 0 && fd >= 0)
        close(fd);
}

static int startWatcher(HardPWM& pwm)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return errno;
    int listenFd = -1;
    int err = listenAt(pwmWatcherName(pwm.chip, pwm.channel), listenFd);
    int enable = -1;
    if (err == 0) {
        enable = open((pwm.channelDir + "/enable").c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
        if (enable < 0)
            err = errno;
    }
    if (err == 0) {
        int keep[3] = {pair[1], listenFd, enable};
        err = startDetached("varnel-pwmwatch", keep, 3, watchChannel);
    }
    if (listenFd >= 0)
        close(listenFd);
    if (enable >= 0)
        close(enable);
    close(pair[1]);
    if (err != 0) {
        close(pair[0]);
        return err;
    }
    pwm.link = pair[0];
    return 0;
}

int startHardPWM(const char* root, int chip, int channel, int freq, int duty, HardPWM& pwm)
{
    PWMTimes t = pwmTimes(freq, duty);
    if (t.periodNs == 0)
        return EINVAL;
    pwm.chip = chip;
    pwm.channel = channel;
    pwm.channelDir = chipDir(root, chip) + "/pwm" + std::to_string(channel);
    dismissWatcher(pwmWatcherName(chip, channel));
    int err = exportChannel(root, chip, channel, pwm.channelDir);
    // The kernel refuses a state whose duty exceeds its period, and any
    // state with no period, which a fresh channel has: off first where it
    // takes it, then the period, with the duty cleared first where the old
    // one exceeds the new period.
    if (err == 0) {
        switchOff(pwm.channelDir);
        std::string period = std::to_string(t.periodNs);
        err = writeAttribute(pwm.channelDir + "/period", period);
        if (err == EINVAL) {
            err = writeAttribute(pwm.channelDir + "/duty_cycle", "0");
            if (err == 0)
                err = writeAttribute(pwm.channelDir + "/period", period);
        }
    }
    if (err == 0)
        err = writeAttribute(pwm.channelDir + "/duty_cycle", std::to_string(t.highNs));
    if (err == 0)
        err = startWatcher(pwm);
    if (err == 0)
        err = writeAttribute(pwm.channelDir + "/enable", "1");
    if (err != 0 && pwm.link >= 0)
        stopHardPWM(pwm);
    else if (err != 0)
        switchOff(pwm.channelDir);
    return err;
}

bool isHardPWMRunning(const HardPWM& pwm)
{
    if (pwm.link < 0)
        return false;
    struct pollfd p = {pwm.link, POLLIN, 0};
    if (poll(&p, 1, 0) != 0)
        return false;
    return readsOne(pwm.channelDir + "/enable");
}

void stopHardPWM(HardPWM& pwm)
{
    if (pwm.link < 0)
        return;
    // While our watcher lives the channel is ours: it switches it off. Once
    // it is gone, a newer start has the channel, or it is off already.
    struct pollfd p = {pwm.link, POLLIN, 0};
    if (poll(&p, 1, 0) == 0)
        dismissWatcher(pwmWatcherName(pwm.chip, pwm.channel));
    close(pwm.link);
    pwm.link = -1;
}

bool isPWMChannelEnabled(const char* root, int chip, int channel)
{
    return readsOne(chipDir(root, chip) + "/pwm" + std::to_string(channel) + "/enable");
}

}  // namespace linuxboard
