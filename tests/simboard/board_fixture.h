// Shared by the simulated board's tests: each test gets a fresh, empty
// state folder of its own in PINSIM_DIR.
#ifndef SIMBOARD_TESTS_BOARD_FIXTURE_H
#define SIMBOARD_TESTS_BOARD_FIXTURE_H

#include "expected.h"
#include "outside.h"
#include "run.h"
#include "varnel.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>

class BoardTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/simboard-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        setenv("PINSIM_DIR", dir.c_str(), 1);
        signal(SIGPIPE, SIG_IGN);
    }
    void TearDown() override { EXPECT_EQ(runCommand({"rm", "-rf", dir}).status, 0); }
    std::string dir;
};

class NullHandler : public GPIO_Irq_Handler_Object {
public:
    int handleIrq(int, GPIO_Irq_Type) override { return 0; }
};

inline std::string describe(int pin)
{
    std::string text;
    EXPECT_EQ(simboard::describePins(pin, text), 0);
    return text;
}

#endif
