// set, setd, get, getd and info on the simulated board.
#include "expected.h"
#include "run.h"
#include "sandbox.h"

namespace {

class Pins : public SandboxTest {};

TEST_F(Pins, DirectionAndLevelRoundTrip)
{
    EXPECT_EQ(pinctl({"setd", "6", "out"}).status, 0);
    EXPECT_EQ(pinctl({"getd", "6"}).status, 1);
    EXPECT_EQ(pinctl({"setd", "6", "in"}).status, 0);
    EXPECT_EQ(pinctl({"getd", "6"}).status, 0);

    Result set = pinctl({"set", "7", "1"});
    EXPECT_EQ(set.status, 0);
    EXPECT_EQ(set.out, "");
    EXPECT_EQ(showPin(7), "pin=7 direction=out level=1 pwm=off irq=off fail=0\n");

    // get reads the pin as an input: the outside level.
    ASSERT_EQ(pinsim({"level", "8", "1"}).status, 0);
    EXPECT_EQ(pinctl({"get", "8"}).status, 1);
    EXPECT_EQ(pinctl({"get", "7"}).status, 0);
    EXPECT_EQ(showPin(7), "pin=7 direction=in level=0 pwm=off irq=off fail=0\n");
}

TEST_F(Pins, SweepsVisitEveryUsablePinAndGoOnPastAFailure)
{
    ASSERT_EQ(pinsim({"fail", "7", "9"}).status, 0);
    ASSERT_EQ(pinsim({"fail", "19", "4"}).status, 0);
    Result r = pinctl({"set", "all", "1"});
    EXPECT_EQ(r.status, 9);
    EXPECT_EQ(
        r.out,
        "**ERROR setting pin:7 to value:1, err=9\n**ERROR setting pin:19 to value:1, err=4\n");
    std::string expected;
    for (int pin : USABLE_PINS) {
        if (pin == 7 || pin == 19)
            expected += "pin=" + std::to_string(pin) +
                        " direction=in level=0 pwm=off irq=off fail=" + (pin == 7 ? "9" : "4") +
                        "\n";
        else
            expected +=
                "pin=" + std::to_string(pin) + " direction=out level=1 pwm=off irq=off fail=0\n";
    }
    EXPECT_EQ(pinsim({"show"}).out, expected);

    r = pinctl({"setd", "all", "in"});
    EXPECT_EQ(r.status, 9);
    EXPECT_EQ(r.out, "**ERROR setting pin direction:7 to direction:0, err=9\n"
                     "**ERROR setting pin direction:19 to direction:0, err=4\n");
    EXPECT_EQ(pinctl({"getd", "26"}).status, 0);
}

TEST_F(Pins, InfoAllOnAFreshBoardAndAfterChanges)
{
    std::string fresh;
    for (int pin : USABLE_PINS)
        fresh += "Pin:" + std::to_string(pin) + ", Direction:INPUT, Value:0\n";
    Result r = pinctl({"info", "all"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, fresh);

    pinctl({"set", "0", "1"});
    pinctl({"setd", "26", "out"});
    pinsim({"level", "13", "1"});
    // A pin whose direction cannot be read shows neither direction.
    pinsim({"fail", "15", "3"});
    r = pinctl({"info", "all"});
    EXPECT_EQ(r.out, "Pin:0, Direction:OUTPUT\n"
                     "Pin:1, Direction:INPUT, Value:0\n"
                     "Pin:6, Direction:INPUT, Value:0\n"
                     "Pin:7, Direction:INPUT, Value:0\n"
                     "Pin:8, Direction:INPUT, Value:0\n"
                     "Pin:12, Direction:INPUT, Value:0\n"
                     "Pin:13, Direction:INPUT, Value:1\n"
                     "Pin:14, Direction:INPUT, Value:0\n"
                     "Pin:15, Direction:\n"
                     "Pin:16, Direction:INPUT, Value:0\n"
                     "Pin:17, Direction:INPUT, Value:0\n"
                     "Pin:18, Direction:INPUT, Value:0\n"
                     "Pin:19, Direction:INPUT, Value:0\n"
                     "Pin:23, Direction:INPUT, Value:0\n"
                     "Pin:26, Direction:OUTPUT\n");
    EXPECT_EQ(pinctl({"info", "13"}).out, "Pin:13, Direction:INPUT, Value:1\n");
}

TEST_F(Pins, SetStopsTheWorkersOfItsPinOnly)
{
    ASSERT_EQ(pinctl({"pwm", "6", "200", "50"}).status, 0);
    ASSERT_EQ(pinctl({"irq", "7", "both", "true"}).status, 0);
    int pwmWorker = recordedPID("/tmp/pin6_pwm_pid");
    int irqWorker = recordedPID("/tmp/pin7_irq_pid");
    ASSERT_TRUE(isRunning(pwmWorker));

    EXPECT_EQ(pinctl({"set", "6", "1"}).status, 0);
    EXPECT_FALSE(isRunning(pwmWorker));
    EXPECT_FALSE(fileExists("/tmp/pin6_pwm_pid"));
    EXPECT_EQ(showPin(6), "pin=6 direction=out level=1 pwm=off irq=off fail=0\n");
    EXPECT_TRUE(isRunning(irqWorker));

    EXPECT_EQ(pinctl({"setd", "7", "out"}).status, 0);
    EXPECT_FALSE(isRunning(irqWorker));
    EXPECT_FALSE(fileExists("/tmp/pin7_irq_pid"));
}

TEST_F(Pins, APlantedRecordOfAnotherProcessIsRemovedAndTheProcessLeftAlone)
{
    int other = startProcess({"sleep", "30"});
    writeFile("/tmp/pin6_pwm_pid", std::to_string(other) + "\nFrequency:200, Duty:50\n");
    writeFile("/tmp/pin6_irq_pid", std::to_string(other) + "\nType:Both, Cmd:'true', Debounce:0\n");
    ASSERT_EQ(pinctl({"setd", "6", "out"}).status, 0);
    EXPECT_EQ(pinctl({"info", "6"}).out, "Pin:6, Direction:OUTPUT\n");

    EXPECT_EQ(pinctl({"set", "6", "1"}).status, 0);
    EXPECT_FALSE(fileExists("/tmp/pin6_pwm_pid"));
    EXPECT_FALSE(fileExists("/tmp/pin6_irq_pid"));
    EXPECT_TRUE(isRunning(other));
}

TEST_F(Pins, GetStopsPWMButLeavesTheInterruptWorker)
{
    ASSERT_EQ(pinctl({"pwm", "6", "200", "50"}).status, 0);
    int pwmWorker = recordedPID("/tmp/pin6_pwm_pid");
    ASSERT_EQ(pinctl({"get", "6"}).status, 0);
    EXPECT_FALSE(isRunning(pwmWorker));
    EXPECT_FALSE(fileExists("/tmp/pin6_pwm_pid"));

    ASSERT_EQ(pinctl({"irq", "8", "rising", "true"}).status, 0);
    int irqWorker = recordedPID("/tmp/pin8_irq_pid");
    pinsim({"level", "8", "1"});
    EXPECT_EQ(pinctl({"get", "8"}).status, 1);
    EXPECT_TRUE(isRunning(irqWorker));
    EXPECT_EQ(recordedPID("/tmp/pin8_irq_pid"), irqWorker);
}

TEST_F(Pins, GetdAndInfoStopNothing)
{
    ASSERT_EQ(pinctl({"pwm", "6", "200", "50"}).status, 0);
    ASSERT_EQ(pinctl({"irq", "7", "falling", "true"}).status, 0);
    int pwmWorker = recordedPID("/tmp/pin6_pwm_pid");
    int irqWorker = recordedPID("/tmp/pin7_irq_pid");

    EXPECT_EQ(pinctl({"getd", "6"}).status, 1);
    EXPECT_EQ(pinctl({"getd", "7"}).status, 0);
    pinctl({"info", "all"});
    pinctl({"info", "6"});
    EXPECT_TRUE(isRunning(pwmWorker));
    EXPECT_TRUE(isRunning(irqWorker));
    EXPECT_EQ(showPin(6), "pin=6 direction=out level=0 pwm=200/50 irq=off fail=0\n");
    EXPECT_EQ(showPin(7), "pin=7 direction=in level=0 pwm=off irq=falling fail=0\n");
}

TEST_F(Pins, StopsWithoutAWorkerDoNothing)
{
    Result r = pinctl({"pwmstop", "6"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    r = pinctl({"irqstop", "6"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

}  // namespace
