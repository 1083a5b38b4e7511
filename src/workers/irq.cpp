// startIRQ: a worker that runs a shell command on each interrupt of a pin.
#include "worker.h"
#include "workers.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static const char DEBUG_PREFIX[] = "[debug]";

int GPIO_Irq_Command_Handler_Object::handleIrq(int pin, GPIO_Irq_Type type)
{
    // An edge that comes while the start is still naming the record runs
    // its command once the worker is live, and never if it is not.
    awaitLive();
    std::string line;
    if (strncmp(command, DEBUG_PREFIX, strlen(DEBUG_PREFIX)) == 0) {
        line = "echo 'GPIO Irq Debug: Pin=" + std::to_string(pin) +
               " Type=" + (type == GPIO_IRQ_RISING ? "Rising' && " : "Falling' && ") +
               (command + strlen(DEBUG_PREFIX));
    } else {
        line = command;
    }
    int status = system(line.c_str());
    fflush(stdout);
    return status;
}

static void setupIRQ(int pin, GPIO_Irq_Type type, const char* cmd, int debounce)
{
    // The handler and the handle live as long as the worker.
    GPIO_Irq_Command_Handler_Object* handler = new GPIO_Irq_Command_Handler_Object;
    snprintf(handler->command, sizeof handler->command, "%s", cmd);
    GPIOPin* gpio = new GPIOPin(pin);
    gpio->setDirection(GPIO_INPUT);
    gpio->setIrq(type, handler, debounce);
    int r = gpio->getLastResult();
    if (r != 0)
        printf("**ERROR starting IRQ on pin:%d with command:%s err=%d\n", pin, cmd, r);
}

// The library calls the handler from a thread of its own; this one only
// waits to be stopped.
static void runIRQ()
{
    for (;;)
        sleepTenSeconds();
}

int startIRQ(int pin, GPIO_Irq_Type type, char* cmd, int debounce)
{
    return startWorker({IRQ_WORKER, pin, [=] { setupIRQ(pin, type, cmd, debounce); }, runIRQ,
                        [=](int pid, RecordDraft& draft) {
                            return noteChildPIDIRQ(pin, pid, type, cmd, debounce, draft);
                        }});
}
