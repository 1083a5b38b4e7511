// startPWM: a worker that keeps PWM output running on a pin.
#include "worker.h"
#include "workers.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

// The PWM worker has nothing more to say once it has started: let go of
// the caller's output so that a caller reading it is not kept waiting.
static void releaseOutput()
{
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0)
        return;
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    close(null);
}

[[noreturn]] static void runPWM(int pin, int freq, int duty)
{
    // Held for the worker's life and never destroyed: a library may reset
    // the pin when its handle goes.
    GPIOPin* gpio = new GPIOPin(pin);
    gpio->setDirection(GPIO_OUTPUT);
    gpio->setPWM(freq, duty);
    int r = gpio->getLastResult();
    if (r != 0)
        printf("**ERROR starting PWM on pin:%d to freq:%d, duty:%d err=%d\n", pin, freq, duty, r);
    fflush(stdout);
    releaseOutput();
    goLive();

    // The worker ends, with status 0, once its PWM has stopped.
    while (gpio->isPWMRunning())
        sleepTenSeconds();
    endWorker();
}

int startPWM(int pin, int freq, int duty)
{
    return startWorker({PWM_WORKER, pin, [=] { runPWM(pin, freq, duty); },
                        [=](int pid, RecordDraft& draft) {
                            return noteChildPIDPWM(pin, pid, freq, duty, draft);
                        }});
}
