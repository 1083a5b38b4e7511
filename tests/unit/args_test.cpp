// Command-line rules: what each argument list is taken as, and the one
// message printed for each rejection.
#include "cli/command.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Parsed {
    bool ok;
    std::string out;
};

Parsed parse(std::vector<std::string> words)
{
    words.insert(words.begin(), "pinctl");
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    bool ok = processArgs((int)words.size(), argv.data());
    return {ok, testing::internal::GetCapturedStdout()};
}

void expectRejected(const std::vector<std::string>& words, const std::string& message)
{
    Parsed p = parse(words);
    EXPECT_FALSE(p.ok) << words[0];
    EXPECT_EQ(p.out, message);
}

TEST(Args, OperationAndPinChecksComeFirst)
{
    expectRejected({}, "**ERROR** No <op> specified\n");
    expectRejected({"bogus", "6"}, "**ERROR** Invalid <op> : bogus\n");
    expectRejected({"INFO", "6"}, "**ERROR** Invalid <op> : INFO\n");
    expectRejected({"help"}, "");
    expectRejected({"help", "6"}, "");
    expectRejected({"info"}, "**ERROR** No <pin> specified\n");
    expectRejected({"set"}, "**ERROR** No <pin> specified\n");
}

TEST(Args, PinIsConvertedFromLeadingDigits)
{
    Parsed p = parse({"get", "6x"});
    EXPECT_TRUE(p.ok);
    EXPECT_EQ(pinnum, 6);

    EXPECT_TRUE(parse({"get", " +7"}).ok);
    EXPECT_EQ(pinnum, 7);
    EXPECT_TRUE(parse({"getd", "0"}).ok);
    EXPECT_EQ(pinnum, 0);

    expectRejected({"set", "x", "1"}, "**ERROR** Invalid <pin> : x\n");
    expectRejected({"get", "00"}, "**ERROR** Invalid <pin> : 00\n");
    expectRejected({"get", "2"}, "**ERROR** Invalid <pin> : 2\n");
    expectRejected({"get", "27"}, "**ERROR** Invalid <pin> : 27\n");
    expectRejected({"get", "-6"}, "**ERROR** Invalid <pin> : -6\n");
}

TEST(Args, NumbersThatDoNotFitAnIntAreRejected)
{
    // 4294967302 is 6 once cut to 32 bits; it must not be taken as pin 6.
    expectRejected({"get", "4294967302"}, "**ERROR** Invalid <pin> : 4294967302\n");
    expectRejected({"get", "99999999999"}, "**ERROR** Invalid <pin> : 99999999999\n");
    expectRejected({"pwm", "6", "99999999999", "50"},
                   "**ERROR** Invalid <freq> for pwm : 99999999999\n");
    expectRejected({"pwm", "6", "200", "4294967346"},
                   "**ERROR** Invalid <duty> for pwm : 4294967346\n");
    expectRejected({"irq", "6", "both", "cmd", "99999999999"},
                   "**ERROR** Invalid <debounce> for irq : 99999999999\n");
    expectRejected({"irq", "6", "both", "cmd", "-99999999999"},
                   "**ERROR** Invalid <debounce> for irq : -99999999999\n");
}

TEST(Args, AllIsOnlyForInfoSetAndSetd)
{
    EXPECT_TRUE(parse({"info", "all"}).ok);
    EXPECT_EQ(pinnum, -1);
    EXPECT_TRUE(parse({"set", "all", "1"}).ok);
    EXPECT_EQ(pinnum, -1);
    EXPECT_EQ(value, 1);
    EXPECT_TRUE(parse({"setd", "all", "out"}).ok);
    EXPECT_EQ(direction, GPIO_OUTPUT);
    expectRejected({"set", "all"}, "**ERROR** No <val> specified for set\n");
    for (const char* op : {"get", "getd", "pwm", "pwmstop", "irq", "irqstop"})
        expectRejected({op, "all"}, "**ERROR** Invalid <pin> for operation: all\n");
}

TEST(Args, SetAndSetdValues)
{
    EXPECT_TRUE(parse({"set", "6", "0"}).ok);
    EXPECT_EQ(value, 0);
    EXPECT_TRUE(parse({"set", "6", "1", "extra", "words"}).ok);
    EXPECT_EQ(value, 1);
    expectRejected({"set", "6"}, "**ERROR** No <val> specified for set\n");
    expectRejected({"set", "6", "2"}, "**ERROR** Invalid <val> for set: 2\n");
    expectRejected({"set", "6", "01"}, "**ERROR** Invalid <val> for set: 01\n");

    EXPECT_TRUE(parse({"setd", "6", "in"}).ok);
    EXPECT_EQ(direction, GPIO_INPUT);
    expectRejected({"setd", "6"}, "**ERROR** No <val> specified for setd\n");
    expectRejected({"setd", "6", "OUT"}, "**ERROR** Invalid <val> for setd: OUT\n");
}

TEST(Args, PWMFrequencyAndDuty)
{
    EXPECT_TRUE(parse({"pwm", "6", "200", "50"}).ok);
    EXPECT_EQ(freq, 200);
    EXPECT_EQ(duty, 50);
    EXPECT_TRUE(parse({"pwm", "6", "1", "0"}).ok);
    EXPECT_TRUE(parse({"pwm", "6", "1", "100"}).ok);
    expectRejected({"pwm", "6"}, "**ERROR** No <freq> specified for pwm\n");
    expectRejected({"pwm", "6", "0", "50"}, "**ERROR** Invalid <freq> for pwm : 0\n");
    expectRejected({"pwm", "6", "-5", "50"}, "**ERROR** Invalid <freq> for pwm : -5\n");
    expectRejected({"pwm", "6", "200"}, "**ERROR** No <duty> specified for pwm\n");
    expectRejected({"pwm", "6", "200", "101"}, "**ERROR** Invalid <duty> for pwm : 101\n");
    expectRejected({"pwm", "6", "200", "-1"}, "**ERROR** Invalid <duty> for pwm : -1\n");
}

TEST(Args, IRQTypeCommandAndDebounce)
{
    EXPECT_TRUE(parse({"irq", "6", "rising", "echo hi"}).ok);
    EXPECT_EQ(irqType, GPIO_IRQ_RISING);
    EXPECT_STREQ(irqcmd, "echo hi");
    EXPECT_EQ(debounce, 0);
    EXPECT_TRUE(parse({"irq", "6", "falling", "c", "-5"}).ok);
    EXPECT_EQ(irqType, GPIO_IRQ_FALLING);
    EXPECT_EQ(debounce, -5);
    EXPECT_TRUE(parse({"irq", "6", "both", "c", "0"}).ok);
    EXPECT_EQ(irqType, GPIO_IRQ_BOTH);
    EXPECT_EQ(debounce, 0);
    EXPECT_TRUE(parse({"irq", "6", "both", "c", "20ms"}).ok);
    EXPECT_EQ(debounce, 20);

    expectRejected({"irq", "6"}, "**ERROR** No <irqtype> specified for irq\n");
    expectRejected({"irq", "6", "high"}, "**ERROR** Invalid <irqtype> for irq: high\n");
    expectRejected({"irq", "6", "both"}, "**ERROR** No <irqcmd> specified for irq\n");
    expectRejected({"irq", "6", "both", "cmd", "abc"},
                   "**ERROR** Invalid <debounce> for irq : abc\n");
    expectRejected({"irq", "6", "both", "cmd", "00"},
                   "**ERROR** Invalid <debounce> for irq : 00\n");
}

TEST(Args, IRQCommandHoldsAtMost199Characters)
{
    std::string longest(199, 'x');
    EXPECT_TRUE(parse({"irq", "6", "both", longest}).ok);
    EXPECT_EQ(std::string(irqcmd), longest);
    expectRejected({"irq", "6", "both", longest + "y"},
                   "**ERROR** Invalid <irqcmd> for irq, longer than 199 characters\n");
}

TEST(Args, EachParseStartsAfresh)
{
    ASSERT_TRUE(parse({"set", "6", "1"}).ok);
    EXPECT_FALSE(parse({"bogus"}).ok);
    EXPECT_EQ(operation, -1);
    EXPECT_EQ(pinnum, -1);
    EXPECT_EQ(value, -1);
}

}  // namespace
