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

[[noreturn]] static void runIRQ(int pin, GPIO_Irq_Type type, const char* cmd, int debounce)
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
    goLive();

    // The library calls the handler from a thread of its own; this one
    // only waits to be stopped.
    for (;;)
        sleepTenSeconds();
}

int startIRQ(int pin, GPIO_Irq_Type type, char* cmd, int debounce)
{
    return startWorker({IRQ_WORKER, pin, [=] { runIRQ(pin, type, cmd, debounce); },
                        [=](int pid, RecordDraft& draft) {
                            return noteChildPIDIRQ(pin, pid, type, cmd, debounce, draft);
                        }});
}
