// pinsim, the simulated board's control tool, as tests and people use it.
#include "expected.h"
#include "run.h"
#include "sandbox.h"

namespace {

class Pinsim : public SandboxTest {};

TEST_F(Pinsim, ShowsAFreshBoard)
{
    Result r = pinsim({"show"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, freshBoardShow());
}

TEST_F(Pinsim, LevelFailAndReset)
{
    EXPECT_EQ(pinsim({"level", "6", "1"}).status, 0);
    EXPECT_EQ(pinsim({"fail", "7", "-3"}).status, 0);
    EXPECT_EQ(pinsim({"show", "6"}).out, "pin=6 direction=in level=1 pwm=off irq=off fail=0\n");
    EXPECT_EQ(pinsim({"show", "7"}).out, "pin=7 direction=in level=0 pwm=off irq=off fail=-3\n");
    // An output shows the level it drives, not the outside one.
    ASSERT_EQ(pinctl({"set", "6", "0"}).status, 0);
    EXPECT_EQ(pinsim({"show", "6"}).out, "pin=6 direction=out level=0 pwm=off irq=off fail=0\n");
    EXPECT_EQ(pinsim({"reset"}).status, 0);
    EXPECT_EQ(pinsim({"show", "7"}).out, "pin=7 direction=in level=0 pwm=off irq=off fail=0\n");
}

TEST_F(Pinsim, BadArgumentsGiveOneLineOnStderrAndStatus2)
{
    const std::vector<std::vector<std::string>> bad = {
        {}, {"bogus"}, {"show", "2"}, {"show", "x"}, {"level", "6"}, {"level", "6", "2"},
        {"level", "27", "1"}, {"fail", "6", "x"}, {"fail", "6", "99999999999"}, {"stop-pwm"},
        {"reset", "now"},
    };
    for (const auto& args : bad) {
        Result r = pinsim(args);
        std::string what = args.empty() ? "(none)" : args[0];
        EXPECT_EQ(r.status, 2) << what;
        EXPECT_EQ(r.out, "") << what;
        ASSERT_FALSE(r.err.empty()) << what;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << what << ": " << r.err;
    }
}

TEST_F(Pinsim, StopPWMEndsItForItsOwner)
{
    ASSERT_EQ(pinctl({"pwm", "8", "1000", "25"}).status, 0);
    EXPECT_EQ(pinsim({"show", "8"}).out, "pin=8 direction=out level=0 pwm=1000/25 irq=off fail=0\n");
    EXPECT_EQ(pinsim({"stop-pwm", "8"}).status, 0);
    EXPECT_EQ(pinsim({"show", "8"}).out, "pin=8 direction=out level=0 pwm=off irq=off fail=0\n");
}

}  // namespace
