// startPWM: a worker that keeps PWM output running on a pin.
#include "launch.h"
#include "workers.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

// The PWM worker has nothing more to say once it has started: let go of
// the caller's output so that a caller reading it is not kept waiting.
static void releaseOutput()
{
    int null = open("/dev/null", O_WRONLY);
    if (null < 0)
        return;
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    close(null);
}

static void runPWMWorker(WorkerLaunch& w, int freq, int duty)
{
    // The worker's handle on its pin, held for as long as its PWM runs.
    GPIOPin gpio(w.pin);
    gpio.setDirection(GPIO_OUTPUT);
    gpio.setPWM(freq, duty);
    int r = gpio.getLastResult();
    if (r != 0)
        printf("**ERROR starting PWM on pin:%d to freq:%d, duty:%d err=%d\n", w.pin, freq, duty, r);
    fflush(stdout);
    releaseOutput();
    reportWorkerReady(w);

    while (gpio.isPWMRunning())
        sleepTenSeconds();
}

int startPWM(int pin, int freq, int duty)
{
    PinWorkersLock lock(pin);
    stopPWM(pin);
    stopIRQ(pin);

    WorkerLaunch w = {"PWM", pin, {}, -1};
    int pid = launchWorker(w);
    if (pid < 0)
        return 1;
    if (pid == 0) {
        // The worker ends, with status 0, once its PWM has stopped.
        runPWMWorker(w, freq, duty);
        return 0;
    }
    if (!noteChildPIDPWM(pin, pid, freq, duty, w.draft)) {
        abandonWorker(w, pid);
        return 1;
    }
    return 0;
}
