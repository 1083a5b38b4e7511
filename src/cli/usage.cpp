// usage: the text printed for help and after every rejected command line.
#include "command.h"

#include <cstdio>

void usage(char* prog)
{
    printf("Usage\n");
    printf("Commands - one of:\n");
    printf("\t- %s <op> <pin> <val>\n", prog);
    printf("\t- %s pwm <pin> <freq> <duty>\n", prog);
    printf("\t\tStarts PWM output on pin\n");
    printf("\t- %s pwmstop <pin>\n", prog);
    printf("\t\tStops PWM output on pin\n");
    printf("\t- %s irq <pin> <irqtype> <irqcmd> <debounce>\n", prog);
    printf("\t\tEnables IRQ handling on pin\n");
    printf("\t- %s irqstop <pin>\n", prog);
    printf("\t\tTerminates IRQ handling on pin\n");
    printf("Where:\n");
    printf("\t<op> is one of:\n");
    printf("\t\tinfo - to display info on pin(s)\n");
    printf("\t\tset - to set pin(s) value\n");
    printf("\t\tget - to get and return pin value\n");
    printf("\t\tsetd - to set pin(s) direction\n");
    printf("\t\tgetd - to get and return pin direction\n");
    printf("\t\thelp - to display usage\n");
    printf("\t<pin> is one of\n\t\t0, 1, 6, 7, 8, 12, 13, 14, 15, 16, 17, 18, 19, 23, 26, all\n");
    printf("\t\tA <pin> of all can only be used for an <op> of:\n");
    printf("\t\t\tinfo, set, setd\n");
    printf("\t<val> is only required for set and setd:\n");
    printf("\t\tfor set, <val> is 0 or 1\n");
    printf("\t\tfor setd, <val> is in or out\n");
    printf("\t<freq> is PWM frequency in Hz > 0\n");
    printf("\t<duty> is PWM duty cycle %% in range 0 to 100\n");
    printf("\t<irqtype> is the type for IRQ and is one of:\n");
    printf("\t\tfalling, rising, both\n");
    printf("\t<irqcmd> is the shell command to be executed when the IRQ occurs\n");
    printf("\t\tMust be enclosed in \" characters if it contains\n");
    printf("\t\tspaces or other special characters\n");
    printf("\t\tIf it starts with the string [debug],\n");
    printf("\t\tdebug output is displayed first\n");
    printf("\t<debounce> is optional debounce time for IRQ in milliseconds\n");
    printf("\t\tDefaults to 0 if not supplied\n");
}
