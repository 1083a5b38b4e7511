// The command record: what processArgs makes of the command line.
#ifndef PINCTL_COMMAND_H
#define PINCTL_COMMAND_H

#include <varnel.h>

// Operation codes. They are documented, and processArgs finds them by the
// position of their keywords: the two orders must stay the same.
enum {
    OP_INFO = 0,
    OP_SET = 1,
    OP_GET = 2,
    OP_SETD = 3,
    OP_GETD = 4,
    OP_PWM = 5,
    OP_PWMSTOP = 6,
    OP_IRQ = 7,
    OP_IRQSTOP = 8,
};

// The pin number that stands for "all".
const int ALL_PINS = -1;
// The interrupt command holds at most this many characters.
const int IRQCMD_MAX = 199;

extern int operation;
extern int pinnum;
extern int value;
extern GPIO_Direction direction;
extern int freq;
extern int duty;
extern GPIO_Irq_Type irqType;
extern char irqcmd[IRQCMD_MAX + 1];
extern int debounce;

bool processArgs(int argc, char** argv);
void usage(char* prog);

// The base-10 value of the leading digits of text, after optional blanks
// and sign, as atoi reads it; false when that value does not fit an int.
// No digits at all give 0.
bool convertInt(const char* text, int& out);

#endif
