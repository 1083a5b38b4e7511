// Pin state: defaults, sharing between processes, argument checks, the
// state folder and its file.
#include "board_fixture.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <dirent.h>
#include <unistd.h>
#include <vector>

namespace {

using StateTest = BoardTest;

TEST_F(StateTest, FreshBoardHasExactlyTheUsablePinsAsInputsAtZero)
{
    for (int n = -2; n < 40; ++n) {
        const bool usable = std::count(USABLE_PINS.begin(), USABLE_PINS.end(), n) == 1;
        ASSERT_EQ(GPIOAccess::isPinUsable(n), usable) << n;
        if (!usable)
            continue;
        GPIOPin pin(n);
        EXPECT_EQ(pin.getDirection(), GPIO_INPUT);
        EXPECT_EQ(pin.get(), 0);
        EXPECT_FALSE(pin.isPWMRunning());
        EXPECT_EQ(pin.getLastResult(), 0);
    }
}

TEST_F(StateTest, UnusablePinReportsEnodevAndTouchesNothing)
{
    GPIOPin pin(2);
    NullHandler handler;
    EXPECT_EQ(pin.getLastResult(), ENODEV);
    pin.setPWM(100, 50);
    EXPECT_EQ(pin.getLastResult(), ENODEV);
    pin.setIrq(GPIO_IRQ_BOTH, &handler, 0);
    EXPECT_EQ(pin.getLastResult(), ENODEV);
    EXPECT_EQ(pin.getDirection(), GPIO_Direction(-1));
    DIR* folder = opendir(dir.c_str());
    int entries = 0;
    while (dirent* e = readdir(folder))
        entries += e->d_name[0] != '.';
    closedir(folder);
    EXPECT_EQ(entries, 0);
}

TEST_F(StateTest, GetReadsOutsideLevelForInputAndDrivenLevelForOutput)
{
    GPIOPin pin(12);
    pin.set(1);  // remembered, not seen while an input
    EXPECT_EQ(pin.get(), 0);
    ASSERT_EQ(simboard::applyLevel(12, 1), 0);
    EXPECT_EQ(pin.get(), 1);
    ASSERT_EQ(simboard::applyLevel(12, 0), 0);
    pin.setDirection(GPIO_OUTPUT);
    EXPECT_EQ(pin.get(), 1);
}

TEST_F(StateTest, InvalidArgumentsAreRefusedAndChangeNothing)
{
    GPIOPin pin(13);
    NullHandler handler;
    pin.setDirection(GPIO_Direction(2));
    EXPECT_EQ(pin.getLastResult(), EINVAL);
    pin.set(2);
    EXPECT_EQ(pin.getLastResult(), EINVAL);
    for (auto fd : {std::make_pair(0, 50), std::make_pair(10, 101), std::make_pair(10, -1)}) {
        pin.setPWM(fd.first, fd.second);
        EXPECT_EQ(pin.getLastResult(), EINVAL);
    }
    pin.setIrq(GPIO_Irq_Type(4), &handler, 0);
    EXPECT_EQ(pin.getLastResult(), EINVAL);
    pin.setIrq(GPIO_IRQ_RISING, nullptr, 0);
    EXPECT_EQ(pin.getLastResult(), EINVAL);
    EXPECT_EQ(describe(13), "pin=13 direction=in level=0 pwm=off irq=off fail=0\n");
}

TEST_F(StateTest, ChangedPinsimDirSwitchesToThatBoard)
{
    GPIOPin pin(8);
    pin.setDirection(GPIO_OUTPUT);
    setenv("PINSIM_DIR", (dir + "/nested/board").c_str(), 1);
    EXPECT_EQ(pin.getDirection(), GPIO_INPUT);
    setenv("PINSIM_DIR", dir.c_str(), 1);
    EXPECT_EQ(pin.getDirection(), GPIO_OUTPUT);
}

TEST_F(StateTest, ClosedStandardDescriptorsAreNotTakenByBoardFiles)
{
    EXPECT_EQ(runInChild([] {
                  close(0);
                  close(1);
                  close(2);
                  GPIOPin pin(6);
                  pin.setDirection(GPIO_OUTPUT);
                  const char stray[] = "stray output\n";
                  for (int fd = 0; fd <= 2; ++fd)
                      if (write(fd, stray, sizeof stray - 1) >= 0)
                          return 1;
                  return pin.getLastResult();
              }),
              0);
    EXPECT_EQ(GPIOPin(6).getDirection(), GPIO_OUTPUT);
}

// The numbers of the text form read back whole, extremes included.
TEST_F(StateTest, StateNumbersKeepTheirExtremes)
{
    simboard::BoardState board;
    board.pins[0].fail = INT_MIN;
    board.pins[25].irqDebounce = LLONG_MAX;
    board.pins[26].irqDebounce = LLONG_MIN;
    const std::string text = simboard::formatBoard(board);
    simboard::BoardState back;
    // A shorter state written over a longer one is padded with newlines.
    ASSERT_TRUE(simboard::parseBoard(text + "\n\n\n", back));
    EXPECT_EQ(back.pins[0].fail, INT_MIN);
    EXPECT_EQ(back.pins[25].irqDebounce, LLONG_MAX);
    EXPECT_EQ(back.pins[26].irqDebounce, LLONG_MIN);
    EXPECT_EQ(simboard::formatBoard(back), text);
}

TEST_F(StateTest, DamagedStateIsABoardFaultUntilReset)
{
    simboard::BoardState board;
    board.pins[26].irqDebounce = LLONG_MIN;
    const std::string text = simboard::formatBoard(board);
    std::vector<std::string> damaged = {text.substr(0, text.size() - 1), text + "x",
                                        "pinsim 2" + text.substr(8), text.substr(0, 30)};
    // Numbers out of range or not whole.
    const std::string lowest = std::to_string(LLONG_MIN);
    for (const char* bad : {"-9223372036854775809", "9223372036854775808", "-", "+5", "--1", "1-"})
        damaged.push_back(std::string(text).replace(text.rfind(lowest), lowest.size(), bad));
    GPIOPin pin(14);
    for (const std::string& state : damaged) {
        EXPECT_FALSE(simboard::parseBoard(state, board)) << state;
        writeFile(dir + "/state", state);
        EXPECT_EQ(pin.getDirection(), GPIO_Direction(-1));
        EXPECT_EQ(pin.getLastResult(), EIO);
    }
    ASSERT_EQ(simboard::resetBoard(), 0);
    EXPECT_EQ(pin.getDirection(), GPIO_INPUT);
    EXPECT_EQ(pin.getLastResult(), 0);
}

}  // namespace
