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

// A script tells success, a level and a failure apart by the status alone:
// a failure exits with the library's result code where that is no level,
// else 255, and a start, stop or output that failed with 1.
TEST_F(CommandLine, TheExitStatusTellsAScriptWhatHappened)
{
    // A stop that leaves a worker running.
    ASSERT_EQ(pinctl({"irq", "8", "both", "true"}).status, 0);
    Result r = runAsOtherUser(pinctlLine({"irqstop", "8"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "**ERROR stopping IRQ on pin:8, locking pin failed err=13\n");

    for (const auto& fail : {std::make_pair("12", "5"), {"13", "1"}, {"14", "300"}, {"15", "257"}})
        ASSERT_EQ(pinsim({"fail", fail.first, fail.second}).status, 0);
    const std::string before = showPin(12);
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string after = "";
    } cases[] = {
        {{"set", "12", "1"}, 5, "**ERROR setting pin:12 to value:1, err=5\n"},
        {{"setd", "14", "out"}, 255, "**ERROR setting pin direction:14 to direction:1, err=300\n"},
        {{"set", "all", "0"},
         5,
         "**ERROR setting pin:12 to value:0, err=5\n**ERROR setting pin:13 to value:0, err=1\n"
         "**ERROR setting pin:14 to value:0, err=300\n**ERROR setting pin:15 to value:0, "
         "err=257\n",
         ""},
        {{"get", "12"}, 5, "**ERROR getting pin:12 value, err=5\n"},
        {{"get", "13"}, 255, "**ERROR getting pin:13 value, err=1\n"},
        {{"getd", "15"}, 255, "**ERROR getting pin:15 direction, err=257\n"},
        {{"pwm", "12", "100", "50"},
         1,
         "**ERROR starting PWM on pin:12 to freq:100, duty:50 err=5\n"},
        {{"irq", "13", "both", "true"},
         1,
         "**ERROR starting IRQ on pin:13 with command:true err=1\n"},
        {{"info", "all"}, 1, "", " >/dev/full"},
        {{"get", "12"}, 5, "", " >/dev/full"},
    };
    for (const auto& c : cases) {
        r = c.after.empty() ? pinctl(c.args) : pinctlInShell("", c.args, c.after);
        EXPECT_EQ(r.status, c.status) << c.args[0] << " " << c.args[1] << c.after;
        EXPECT_EQ(r.out, c.out);
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
