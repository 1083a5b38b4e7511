// How a worker record's text reads: the cases the record fuzzer starts from.
#include "workers/records.h"

#include <gtest/gtest.h>

namespace {

void expectReads(const std::string& text, int pid, const std::string& params)
{
    Record rec = parseRecord(text);
    EXPECT_EQ(rec.pid, pid) << text;
    EXPECT_EQ(rec.params, params) << text;
}

TEST(RecordText, IdAndParameterLine)
{
    expectReads("1234\nFrequency:200, Duty:50\n", 1234, "Frequency:200, Duty:50");
    expectReads("99\nType:Both, Cmd:'a\tb', Debounce:20", 99, "Type:Both, Cmd:'a\tb', Debounce:20");
    expectReads("7\nfirst\nsecond\n", 7, "first\nsecond");
    expectReads("4321", 4321, "");
    expectReads("", 0, "");
}

TEST(RecordText, IdsThatAreNoProcessReadAsZero)
{
    expectReads("abc\nx\n", 0, "x");
    expectReads("-5\nx\n", 0, "x");
    expectReads("0\nx\n", 0, "x");
    expectReads("2147483648\nx\n", 0, "x");
    expectReads(std::string(100000, '9') + "\nx\n", 0, "x");
}

TEST(RecordText, NulBytesAndHugeLines)
{
    expectReads(std::string("12\0"
                            "34\n\0x\n",
                            9),
                12, std::string("\0x", 2));
    expectReads("5\n" + std::string(70000, 'p') + "\n", 5, std::string(70000, 'p'));
}

}  // namespace
