// startPWM: a worker that keeps PWM output running on a pin.
#include "worker.h"
#include "workers.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

// In the worker: its handle on the pin, made by its setup and held for its
// life, never destroyed (a library may reset the pin when its handle goes).
static GPIOPin* gpio = nullptr;

// The PWM worker has nothing more to say once it has started: let go of
// the caller's output so that a caller reading it is not kept waiting,
// and of its working folder, so that its file system can be unmounted.
static void releaseCaller()
{
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        close(null);
    }
    (void)!chdir("/");
}

static int setupPWM(int pin, int freq, int duty)
{
    gpio = new GPIOPin(pin);
    gpio->setDirection(GPIO_OUTPUT);
    gpio->setPWM(freq, duty);
    int r = gpio->getLastResult();
    if (r != 0)
        printf("**ERROR starting PWM on pin:%d to freq:%d, duty:%d err=%d\n", pin, freq, duty, r);
    fflush(stdout);
    releaseCaller();
    return r;
}

// The worker ends, with status 0, once the library says its PWM has
// stopped. A check that failed (the board busy past its bound) says
// nothing of the PWM: the worker looks again at the next.
static void runPWM()
{
    while (gpio->isPWMRunning() || gpio->getLastResult() != 0)
        sleepTenSeconds();
}

int startPWM(int pin, int freq, int duty)
{
    return startWorker({PWM_WORKER, pin, [=] { return setupPWM(pin, freq, duty); }, runPWM,
                        [=](int pid, RecordDraft& draft) {
                            return noteChildPIDPWM(pin, pid, freq, duty, draft);
                        }});
}
