// libFuzzer harness for processArgs: the input is an argument vector, its
// words separated by NUL bytes, each word in a heap block of its own size
// so that reading past a word is caught. Whatever the words, processArgs
// accepts or rejects; an accepted command record holds only what the
// operation allows, and irqcmd stays a terminated string within its array.
#include "cli/command.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// More words than any command takes, to reach the "too many" cases.
static const size_t MAX_WORDS = 8;

static void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "broken command record: %s\n", what);
        abort();
    }
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // processArgs prints its verdict on standard output: keep it quiet.
    if (!freopen("/dev/null", "w", stdout))
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> words = {"pinctl"};
    size_t start = 0;
    for (size_t i = 0; i <= size && words.size() <= MAX_WORDS; i++) {
        if (i == size || data[i] == 0) {
            if (i < size || i > start)
                words.emplace_back(reinterpret_cast<const char*>(data) + start, i - start);
            start = i + 1;
        }
    }

    std::vector<char*> argv;
    for (const std::string& w : words) {
        char* copy = static_cast<char*>(malloc(w.size() + 1));
        memcpy(copy, w.c_str(), w.size() + 1);
        argv.push_back(copy);
    }
    argv.push_back(nullptr);
    int argc = static_cast<int>(words.size());

    bool ok = processArgs(argc, argv.data());

    check(memchr(irqcmd, 0, sizeof irqcmd) != nullptr, "irqcmd unterminated");
    if (ok) {
        check(operation >= OP_INFO && operation <= OP_IRQSTOP, "operation");
        if (pinnum == ALL_PINS)
            check(operation == OP_INFO || operation == OP_SET || operation == OP_SETD, "all");
        else
            check(GPIOAccess::isPinUsable(pinnum), "pin");
        if (operation == OP_SET)
            check(value == 0 || value == 1, "set value");
        if (operation == OP_SETD)
            check(direction == GPIO_INPUT || direction == GPIO_OUTPUT, "direction");
        if (operation == OP_PWM)
            check(freq > 0 && duty >= 0 && duty <= 100, "pwm");
        if (operation == OP_IRQ) {
            check(irqType == GPIO_IRQ_RISING || irqType == GPIO_IRQ_FALLING ||
                      irqType == GPIO_IRQ_BOTH,
                  "irq type");
            check(argc >= 5 && strcmp(irqcmd, argv[4]) == 0, "irqcmd differs from its word");
        }
    }

    for (char* a : argv)
        free(a);
    return 0;
}
