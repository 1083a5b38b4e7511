#include "softpwm.h"

#include "chips.h"
#include "threads.h"
#include "timing.h"

#include <atomic>
#include <cerrno>
#include <ctime>

namespace linuxboard {

struct SoftPWM {
    int fd = -1;
    PWMTimes times;
    pthread_t thread;
    std::atomic<bool> stop{false};
    std::atomic<bool> running{true};
};

static const long long NS_PER_S = 1000000000LL;

static void addNs(struct timespec& t, long long ns)
{
    long long total = t.tv_nsec + ns;
    t.tv_sec += (time_t)(total / NS_PER_S);
    t.tv_nsec = (long)(total % NS_PER_S);
}

static bool isPast(const struct timespec& t, const struct timespec& now)
{
    return t.tv_sec < now.tv_sec || (t.tv_sec == now.tv_sec && t.tv_nsec < now.tv_nsec);
}

static void sleepUntil(const struct timespec& t)
{
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

static void* toggle(void* arg)
{
    SoftPWM* pwm = static_cast<SoftPWM*>(arg);
    long long lowNs = pwm->times.periodNs - pwm->times.highNs;
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    while (!pwm->stop.load()) {
        if (driveLevel(pwm->fd, 1) != 0)
            break;
        addNs(next, pwm->times.highNs);
        sleepUntil(next);
        if (pwm->stop.load() || driveLevel(pwm->fd, 0) != 0)
            break;
        addNs(next, lowNs);
        sleepUntil(next);
        // Fallen behind by more than a period (the machine was busy): start
        // afresh from now instead of catching up with a burst.
        struct timespec now, late = next;
        clock_gettime(CLOCK_MONOTONIC, &now);
        addNs(late, pwm->times.periodNs);
        if (isPast(late, now))
            next = now;
    }
    pwm->running.store(false);
    return nullptr;
}

int startSoftPWM(int fd, int freq, int duty, SoftPWM*& pwm)
{
    if (freq > SOFT_PWM_MAX_HZ || duty <= 0 || duty >= 100)
        return EINVAL;
    SoftPWM* p = new SoftPWM;
    p->fd = fd;
    p->times = pwmTimes(freq, duty);
    int err = startThread(p->thread, toggle, p);
    if (err != 0) {
        delete p;
        return err;
    }
    pwm = p;
    return 0;
}

void stopSoftPWM(SoftPWM* pwm)
{
    pwm->stop.store(true);
    pthread_join(pwm->thread, nullptr);
    delete pwm;
}

bool isSoftPWMRunning(const SoftPWM* pwm)
{
    return pwm->running.load();
}

}  // namespace linuxboard
