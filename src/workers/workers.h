// The background workers: PWM output and interrupt commands. Each start
// returns the invocation's exit status: 0 once the worker runs, 1 when it
// could not be started.
#ifndef PINCTL_WORKERS_H
#define PINCTL_WORKERS_H

#include <varnel.h>

int startPWM(int pin, int freq, int duty);
int startIRQ(int pin, GPIO_Irq_Type type, char* cmd, int debounce);

// Runs the user's shell command for each interrupt. A command beginning
// with "[debug]" is first announced by an echo of the pin and edge.
class GPIO_Irq_Command_Handler_Object : public GPIO_Irq_Handler_Object {
public:
    int handleIrq(int pin, GPIO_Irq_Type type) override;

    char command[200];
};

#endif
