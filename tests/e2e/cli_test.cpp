// The command line as a user meets it: messages, usage text, exit status.
#include "run.h"
#include "sandbox.h"

namespace {

std::string usageText()
{
    std::string prog = PINCTL_BIN;
    return "Usage\n"
           "Commands - one of:\n"
           "\t- " + prog + " <op> <pin> <val>\n"
           "\t- " + prog + " pwm <pin> <freq> <duty>\n"
           "\t\tStarts PWM output on pin\n"
           "\t- " + prog + " pwmstop <pin>\n"
           "\t\tStops PWM output on pin\n"
           "\t- " + prog + " irq <pin> <irqtype> <irqcmd> <debounce>\n"
           "\t\tEnables IRQ handling on pin\n"
           "\t- " + prog + " irqstop <pin>\n"
           "\t\tTerminates IRQ handling on pin\n"
           "Where:\n"
           "\t<op> is one of:\n"
           "\t\tinfo - to display info on pin(s)\n"
           "\t\tset - to set pin(s) value\n"
           "\t\tget - to get and return pin value\n"
           "\t\tsetd - to set pin(s) direction\n"
           "\t\tgetd - to get and return pin direction\n"
           "\t\thelp - to display usage\n"
           "\t<pin> is one of\n"
           "\t\t0, 1, 6, 7, 8, 12, 13, 14, 15, 16, 17, 18, 19, 23, 26, all\n"
           "\t\tA <pin> of all can only be used for an <op> of:\n"
           "\t\t\tinfo, set, setd\n"
           "\t<val> is only required for set and setd:\n"
           "\t\tfor set, <val> is 0 or 1\n"
           "\t\tfor setd, <val> is in or out\n"
           "\t<freq> is PWM frequency in Hz > 0\n"
           "\t<duty> is PWM duty cycle % in range 0 to 100\n"
           "\t<irqtype> is the type for IRQ and is one of:\n"
           "\t\tfalling, rising, both\n"
           "\t<irqcmd> is the shell command to be executed when the IRQ occurs\n"
           "\t\tMust be enclosed in \" characters if it contains\n"
           "\t\tspaces or other special characters\n"
           "\t\tIf it starts with the string [debug],\n"
           "\t\tdebug output is displayed first\n"
           "\t<debounce> is optional debounce time for IRQ in milliseconds\n"
           "\t\tDefaults to 0 if not supplied\n";
}

class CommandLine : public SandboxTest {};

TEST_F(CommandLine, RejectionsPrintOneMessageThenUsageAndExit255)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "**ERROR** No <op> specified\n"},
        {{"help"}, ""},
        {{"info"}, "**ERROR** No <pin> specified\n"},
        {{"get", "all"}, "**ERROR** Invalid <pin> for operation: all\n"},
        {{"set", "x", "1"}, "**ERROR** Invalid <pin> : x\n"},
        {{"pwm", "6", "200", "101"}, "**ERROR** Invalid <duty> for pwm : 101\n"},
        {{"irq", "6", "both", std::string(200, 'c')},
         "**ERROR** Invalid <irqcmd> for irq, longer than 199 characters\n"},
    };
    for (const auto& c : cases) {
        Result r = pinctl(c.first);
        EXPECT_EQ(r.status, 255) << c.second;
        EXPECT_EQ(r.out, c.second + usageText());
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(CommandLine, ARejectedLineTouchesNothing)
{
    ASSERT_EQ(pinctl({"pwm", "6", "200", "50"}).status, 0);
    EXPECT_EQ(pinctl({"set", "6", "2"}).status, 255);
    EXPECT_EQ(pinctl({"irq", "6", "both", std::string(300, 'c')}).status, 255);
    EXPECT_EQ(pinsim({"show", "6"}).out, "pin=6 direction=out level=0 pwm=200/50 irq=off fail=0\n");
}

TEST_F(CommandLine, TrailingArgumentsAreIgnored)
{
    Result r = pinctl({"setd", "6", "out", "and", "more"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(pinctl({"getd", "6x", "extra"}).status, 1);
}

}  // namespace
