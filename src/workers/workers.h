// The background workers: PWM output and interrupt commands.
#ifndef PINCTL_WORKERS_H
#define PINCTL_WORKERS_H

#include <varnel.h>

// Each start returns the invocation's exit status: 0 once its worker runs
// and is recorded, 1 after an "**ERROR" line when none could be started.
int startPWM(int pin, int freq, int duty);
int startIRQ(int pin, GPIO_Irq_Type type, char* cmd, int debounce);

// Each stop ends the pin's worker of its kind, if any, and removes its
// record: 0, or an errno value after an "**ERROR" line when the worker
// would not end (it then keeps its record).
int stopPWM(int pin);
int stopIRQ(int pin);

// Runs the user's shell command for each interrupt. A command beginning
// with "[debug]" is first announced by an echo of the pin and edge.
class GPIO_Irq_Command_Handler_Object : public GPIO_Irq_Handler_Object {
public:
    int handleIrq(int pin, GPIO_Irq_Type type) override;

    char command[200];
};

#endif
