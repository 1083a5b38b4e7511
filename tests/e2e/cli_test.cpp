// The command line as a user meets it: messages, usage text, exit status.
#include "expected.h"
#include "run.h"
#include "sandbox.h"

#include <tuple>

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

// A script tells a level from a failure by the status alone: a failure
// exits with the library's code where that cannot be taken for a level
// (else 255); a failed start, or an output lost, with 1.
TEST_F(CommandLine, TheExitStatusTellsAScriptWhatHappened)
{
    for (const auto& fail : {std::make_pair("12", "5"), {"13", "1"}, {"14", "300"}})
        ASSERT_EQ(pinsim({"fail", fail.first, fail.second}).status, 0);
    const std::string before = showPin(12);
    const std::tuple<std::string, int, std::string> cases[] = {
        {"set 14 1", 255, "**ERROR setting pin:14 to value:1, err=300\n"},
        {"get 12", 5, "**ERROR getting pin:12 value, err=5\n"},
        {"get 13", 255, "**ERROR getting pin:13 value, err=1\n"},
        {"getd 14", 255, "**ERROR getting pin:14 direction, err=300\n"},
        {"pwm 12 100 50", 1, "**ERROR starting PWM on pin:12 to freq:100, duty:50 err=5\n"},
        {"irq 13 both true", 1, "**ERROR starting IRQ on pin:13 with command:true err=1\n"},
        {"info all >/dev/full", 1, ""},
        {"get 12 >/dev/full", 5, ""},
    };
    for (const auto& c : cases) {
        Result r = runCommand({"sh", "-c", pinctlLine({}) + " " + std::get<0>(c)});
        EXPECT_EQ(r.status, std::get<1>(c)) << std::get<0>(c);
        EXPECT_EQ(r.out, std::get<2>(c));
    }
    EXPECT_EQ(showPin(12), before);
    EXPECT_TRUE(liveWorkers("pwm").empty() && liveWorkers("irq").empty());
    EXPECT_FALSE(fileExists("/tmp/pin12_pwm_pid") || fileExists("/tmp/pin13_irq_pid"));
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
