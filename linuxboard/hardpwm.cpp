#include "hardpwm.h"

#include "protocol.h"
#include "registration.h"
#include "timing.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
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

static int exportChannel(const char* root, int chip, int channel, const std::string& dir,
                         const Deadline& d)
{
    if (isFolder(dir))
        return 0;
    int err = writeAttribute(chipDir(root, chip) + "/export", std::to_string(channel));
    if (err != 0 && err != EBUSY)
        return err;
    // udev may yet have to give the new files their owner and mode.
    Deadline exported(EXPORT_WAIT_MS);
    do {
        if (isFolder(dir) && access((dir + "/enable").c_str(), W_OK) == 0)
            return 0;
    } while (exported.leftMs() > 0 && pauseWithin(d, 1));
    return ETIMEDOUT;
}

static int switchOff(const std::string& dir)
{
    return writeAttribute(dir + "/enable", "0");
}

static Request channelRequest(KeeperOp op, int chip, int channel)
{
    Request req;
    req.op = op;
    req.chip = (uint64_t)chip;
    req.index = (uint32_t)channel;
    return req;
}

// Sets period and duty cycle. The kernel refuses a state whose duty
// exceeds its period, and any state with no period, which a fresh channel
// has: off first where it takes it, then the period, with the duty cleared
// first where the old one exceeds the new period.
static int configureChannel(const std::string& dir, const PWMTimes& t)
{
    switchOff(dir);
    std::string period = std::to_string(t.periodNs);
    int err = writeAttribute(dir + "/period", period);
    if (err == EINVAL) {
        err = writeAttribute(dir + "/duty_cycle", "0");
        if (err == 0)
            err = writeAttribute(dir + "/period", period);
    }
    if (err == 0)
        err = writeAttribute(dir + "/duty_cycle", std::to_string(t.highNs));
    return err;
}

int startHardPWM(const char* root, int chip, int channel, int freq, int duty, HardPWM& pwm,
                 const Deadline& d)
{
    PWMTimes t = pwmTimes(freq, duty);
    if (t.periodNs == 0)
        return EINVAL;
    pwm.chip = chip;
    pwm.channel = channel;
    pwm.channelDir = chipDir(root, chip) + "/pwm" + std::to_string(channel);
    // An earlier start's watch goes first, channel switched off.
    Reply reply;
    askKeeper(channelRequest(UNWATCH, chip, channel), -1, reply, nullptr, d);
    int err = exportChannel(root, chip, channel, pwm.channelDir, d);
    if (err == 0)
        err = configureChannel(pwm.channelDir, t);
    if (err == 0) {
        pwm.enable = open((pwm.channelDir + "/enable").c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
        if (pwm.enable < 0)
            err = errno;
    }
    // Watched before it runs: from then on it ends with this process.
    if (err == 0)
        err = startRegistration(channelRequest(WATCH, chip, channel), pwm.enable, pwm.watch, d);
    if (err == 0)
        err = writeAttribute(pwm.channelDir + "/enable", "1");
    if (err != 0) {
        stopHardPWM(pwm);
        switchOff(pwm.channelDir);
    }
    return err;
}

bool isHardPWMRunning(const HardPWM& pwm)
{
    return pwm.watch != nullptr && isRegistered(pwm.watch) && readsOne(pwm.channelDir + "/enable");
}

void stopHardPWM(HardPWM& pwm)
{
    if (pwm.enable >= 0)
        (void)!pwrite(pwm.enable, "0", 1, 0);
    if (pwm.watch != nullptr)
        endRegistration(pwm.watch);
    pwm.watch = nullptr;
    if (pwm.enable >= 0)
        close(pwm.enable);
    pwm.enable = -1;
}

void switchPWMChannelOff(const char* root, int chip, int channel)
{
    std::string dir = chipDir(root, chip) + "/pwm" + std::to_string(channel);
    if (isFolder(dir))
        switchOff(dir);
}

bool isPWMChannelEnabled(const char* root, int chip, int channel)
{
    return readsOne(chipDir(root, chip) + "/pwm" + std::to_string(channel) + "/enable");
}

}  // namespace linuxboard
