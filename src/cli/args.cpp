// processArgs: checks the command line and fills the command record.
#include "command.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int operation = -1;
int pinnum = -1;
int value = -1;
GPIO_Direction direction = GPIO_INPUT;
int freq;
int duty;
GPIO_Irq_Type irqType;
char irqcmd[IRQCMD_MAX + 1];
int debounce;

bool convertInt(const char* text, int& out)
{
    errno = 0;
    long v = strtol(text, nullptr, 10);
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return false;
    out = (int)v;
    return true;
}

// In the order of the operation codes (command.h).
static const char* const keywords[] = {
    "info", "set", "get", "setd", "getd", "pwm", "pwmstop", "irq", "irqstop",
};

// The value of set or setd: argv[3] must be word0 or word1, giving 0 or 1.
static bool parseValueWord(int argc, char** argv, const char* op, const char* word0,
                           const char* word1, int& out)
{
    if (argc < 4) {
        printf("**ERROR** No <val> specified for %s\n", op);
        return false;
    }
    if (strcmp(argv[3], word0) == 0) {
        out = 0;
    } else if (strcmp(argv[3], word1) == 0) {
        out = 1;
    } else {
        printf("**ERROR** Invalid <val> for %s: %s\n", op, argv[3]);
        return false;
    }
    return true;
}

static bool parseSetValue(int argc, char** argv)
{
    return parseValueWord(argc, argv, "set", "0", "1", value);
}

static bool parseSetdValue(int argc, char** argv)
{
    int dir;
    if (!parseValueWord(argc, argv, "setd", "in", "out", dir))
        return false;
    direction = dir == 0 ? GPIO_INPUT : GPIO_OUTPUT;
    return true;
}

static bool parseIRQArgs(int argc, char** argv)
{
    if (argc < 4) {
        printf("**ERROR** No <irqtype> specified for irq\n");
        return false;
    }
    if (strcmp(argv[3], "falling") == 0) {
        irqType = GPIO_IRQ_FALLING;
    } else if (strcmp(argv[3], "rising") == 0) {
        irqType = GPIO_IRQ_RISING;
    } else if (strcmp(argv[3], "both") == 0) {
        irqType = GPIO_IRQ_BOTH;
    } else {
        printf("**ERROR** Invalid <irqtype> for irq: %s\n", argv[3]);
        return false;
    }

    if (argc < 5) {
        printf("**ERROR** No <irqcmd> specified for irq\n");
        return false;
    }
    if (strlen(argv[4]) > (size_t)IRQCMD_MAX) {
        printf("**ERROR** Invalid <irqcmd> for irq, longer than %d characters\n", IRQCMD_MAX);
        return false;
    }
    strcpy(irqcmd, argv[4]);

    debounce = 0;
    if (argc < 6 || strcmp(argv[5], "0") == 0)
        return true;
    if (!convertInt(argv[5], debounce) || debounce == 0) {
        printf("**ERROR** Invalid <debounce> for irq : %s\n", argv[5]);
        return false;
    }
    return true;
}

static bool parsePWMArgs(int argc, char** argv)
{
    if (argc < 4) {
        printf("**ERROR** No <freq> specified for pwm\n");
        return false;
    }
    if (!convertInt(argv[3], freq) || freq <= 0) {
        printf("**ERROR** Invalid <freq> for pwm : %s\n", argv[3]);
        return false;
    }
    if (argc < 5) {
        printf("**ERROR** No <duty> specified for pwm\n");
        return false;
    }
    // As documented, one unsigned comparison: it rejects negative duties too.
    if (!convertInt(argv[4], duty) || (unsigned)duty >= 101) {
        printf("**ERROR** Invalid <duty> for pwm : %s\n", argv[4]);
        return false;
    }
    return true;
}

bool processArgs(int argc, char** argv)
{
    operation = -1;
    pinnum = -1;
    value = -1;

    if (argc < 2) {
        printf("**ERROR** No <op> specified\n");
        return false;
    }
    for (int op = 0; op < (int)(sizeof keywords / sizeof keywords[0]); op++) {
        if (strcmp(argv[1], keywords[op]) == 0) {
            operation = op;
            break;
        }
    }
    if (operation < 0) {
        if (strcmp(argv[1], "help") != 0)
            printf("**ERROR** Invalid <op> : %s\n", argv[1]);
        return false;
    }

    if (argc == 2) {
        printf("**ERROR** No <pin> specified\n");
        return false;
    }
    if (strcmp(argv[2], "all") == 0) {
        switch (operation) {
        case OP_SET:
            return parseSetValue(argc, argv);
        case OP_SETD:
            return parseSetdValue(argc, argv);
        case OP_INFO:
            return true;
        default:
            printf("**ERROR** Invalid <pin> for operation: %s\n", argv[2]);
            return false;
        }
    }
    // As documented: "0" is read apart, since a conversion giving 0 means
    // no number, and trailing text is ignored ("6x" is pin 6).
    if (strcmp(argv[2], "0") == 0) {
        pinnum = 0;
    } else if (!convertInt(argv[2], pinnum) || pinnum == 0) {
        printf("**ERROR** Invalid <pin> : %s\n", argv[2]);
        return false;
    }
    if (!GPIOAccess::isPinUsable(pinnum)) {
        printf("**ERROR** Invalid <pin> : %s\n", argv[2]);
        return false;
    }

    switch (operation) {
    case OP_SET:
        return parseSetValue(argc, argv);
    case OP_SETD:
        return parseSetdValue(argc, argv);
    case OP_IRQ:
        return parseIRQArgs(argc, argv);
    case OP_PWM:
        return parsePWMArgs(argc, argv);
    default:
        return true;
    }
}
