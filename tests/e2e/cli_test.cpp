// The command line as a user meets it: messages, usage text, exit status.
#include "expected.h"
#include "run.h"
#include "sandbox.h"

namespace {

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
        EXPECT_EQ(r.out, c.second + usageText(PINCTL_BIN));
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
