// How the pin map's text reads, and the figures handed to the kernel.
#include "pinmap.h"
#include "timing.h"

#include <gtest/gtest.h>

using namespace linuxboard;

namespace {

PinMap parsed(const std::string& text)
{
    PinMap map;
    PinMapFault fault;
    EXPECT_TRUE(parsePinMap(text, map, fault)) << fault.line << ": " << fault.reason;
    return map;
}

int faultLine(const std::string& text)
{
    PinMap map;
    map.valid = true;
    PinMapFault fault;
    EXPECT_FALSE(parsePinMap(text, map, fault)) << text;
    EXPECT_FALSE(map.valid);
    EXPECT_TRUE(map.pins.empty());
    EXPECT_FALSE(fault.reason.empty());
    return fault.line;
}

TEST(PinMap, LinesCommentsAndPWMChannels)
{
    PinMap map = parsed("# board header\n"
                        "\n"
                        "6 /dev/gpiochip0 17   # the LED\n"
                        "\t7\tvarnel-side\t2\r\n"
                        "12 /dev/gpiochip1 0 0 1\n"
                        "   \n"
                        "0 gpio-sim.0 31");
    ASSERT_TRUE(map.valid);
    ASSERT_EQ(map.pins.size(), 4u);
    EXPECT_EQ(map.pins[6].chip, "/dev/gpiochip0");
    EXPECT_EQ(map.pins[6].line, 17u);
    EXPECT_EQ(map.pins[6].pwmChip, -1);
    EXPECT_EQ(map.pins[7].chip, "varnel-side");
    EXPECT_EQ(map.pins[7].line, 2u);
    EXPECT_EQ(map.pins[12].pwmChip, 0);
    EXPECT_EQ(map.pins[12].pwmChannel, 1);
    EXPECT_EQ(map.pins[0].line, 31u);

    PinMap empty = parsed("# nothing mapped\n");
    EXPECT_TRUE(empty.valid);
    EXPECT_TRUE(empty.pins.empty());
}

TEST(PinMap, MalformedLinesAreNamedByNumber)
{
    EXPECT_EQ(faultLine("6 /dev/gpiochip0\n"), 1);
    EXPECT_EQ(faultLine("6 /dev/gpiochip0 1\n7 /dev/gpiochip0 2 0\n"), 2);
    EXPECT_EQ(faultLine("6 c 1 0 1 9\n"), 1);
    EXPECT_EQ(faultLine("\n\nx /dev/gpiochip0 1\n"), 3);
    EXPECT_EQ(faultLine("-6 c 1\n"), 1);
    EXPECT_EQ(faultLine("6 c +1\n"), 1);
    EXPECT_EQ(faultLine("6 c 0x10\n"), 1);
    EXPECT_EQ(faultLine("6 c 1 a 1\n"), 1);
    EXPECT_EQ(faultLine("99999999999 c 1\n"), 1);
    EXPECT_EQ(faultLine("6 c 65536\n"), 1);
    EXPECT_EQ(faultLine("6 c 1\n# again\n6 d 2\n"), 3);
    EXPECT_EQ(faultLine(std::string("6 c 1\n7 c\0 2\n", 13)), 2);
}

TEST(PinMap, DefaultIsTheFirstLinesOfChipZero)
{
    PinMap map = defaultPinMap();
    ASSERT_TRUE(map.valid);
    ASSERT_EQ(map.pins.size(), 27u);
    for (int pin = 0; pin <= 26; pin++) {
        EXPECT_EQ(map.pins[pin].chip, "/dev/gpiochip0");
        EXPECT_EQ(map.pins[pin].line, (unsigned)pin);
        EXPECT_EQ(map.pins[pin].pwmChip, -1);
    }
}

TEST(Timing, PWMPeriodAndDebounce)
{
    EXPECT_EQ(pwmTimes(200, 50).periodNs, 5000000);
    EXPECT_EQ(pwmTimes(200, 50).highNs, 2500000);
    EXPECT_EQ(pwmTimes(1, 100).highNs, 1000000000);
    EXPECT_EQ(pwmTimes(3, 33).periodNs, 333333333);
    EXPECT_EQ(pwmTimes(3, 33).highNs, 109999999);
    EXPECT_EQ(pwmTimes(2147483647, 99).periodNs, 0);
    EXPECT_EQ(pwmTimes(0, 50).periodNs, 0);
    EXPECT_EQ(pwmTimes(10, 101).periodNs, 0);

    EXPECT_EQ(debounceMicroseconds(0), 0u);
    EXPECT_EQ(debounceMicroseconds(-5), 0u);
    EXPECT_EQ(debounceMicroseconds(20), 20000u);
    EXPECT_EQ(debounceMicroseconds(4294967), 4294967000u);
    EXPECT_EQ(debounceMicroseconds(4294968), 4294967295u);
    EXPECT_EQ(debounceMicroseconds(2147483647), 4294967295u);
}

}  // namespace
