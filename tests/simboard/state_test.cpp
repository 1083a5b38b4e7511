// Pin state: defaults, sharing between processes, argument checks, the
// state folder and its file.
#include "board_fixture.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <set>

namespace {

using StateTest = BoardTest;

TEST_F(StateTest, FreshBoardHasExactlyTheUsablePinsAsInputsAtZero) {
    const std::set<int> usable = {0, 1, 6, 7, 8, 12, 13, 14, 15, 16, 17, 18, 19, 23, 26};
    for (int n = -2; n < 40; ++n) {
        ASSERT_EQ(GPIOAccess::isPinUsable(n), usable.count(n) == 1) << n;
        if (usable.count(n) == 0) continue;
        GPIOPin pin(n);
        EXPECT_EQ(pin.getDirection(), GPIO_INPUT);
        EXPECT_EQ(pin.get(), 0);
        EXPECT_FALSE(pin.isPWMRunning());
        EXPECT_EQ(pin.getLastResult(), 0);
    }
}

TEST_F(StateTest, UnusablePinReportsEnodevAndTouchesNothing) {
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
    while (dirent* e = readdir(folder)) entries += e->d_name[0] != '.';
    closedir(folder);
    EXPECT_EQ(entries, 0);
}

TEST_F(StateTest, LaterProcessSeesWhatAnEarlierOneDid) {
    EXPECT_EQ(runInChild([] {
                  GPIOPin pin(6);
                  pin.setDirection(GPIO_OUTPUT);
                  pin.set(1);
                  return pin.getLastResult();
              }),
              0);
    GPIOPin pin(6);
    EXPECT_EQ(pin.getDirection(), GPIO_OUTPUT);
    EXPECT_EQ(pin.get(), 1);
    EXPECT_EQ(GPIOPin(7).getDirection(), GPIO_INPUT);
}

TEST_F(StateTest, GetReadsOutsideLevelForInputAndDrivenLevelForOutput) {
    GPIOPin pin(12);
    pin.set(1);  // remembered, not seen while an input
    EXPECT_EQ(pin.get(), 0);
    ASSERT_EQ(simboard::applyLevel(12, 1), 0);
    EXPECT_EQ(pin.get(), 1);
    ASSERT_EQ(simboard::applyLevel(12, 0), 0);
    pin.setDirection(GPIO_OUTPUT);
    EXPECT_EQ(pin.get(), 1);
}

TEST_F(StateTest, InvalidArgumentsAreRefusedAndChangeNothing) {
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

TEST_F(StateTest, ChangedPinsimDirSwitchesToThatBoard) {
    GPIOPin pin(8);
    pin.setDirection(GPIO_OUTPUT);
    setenv("PINSIM_DIR", (dir + "/nested/board").c_str(), 1);
    EXPECT_EQ(pin.getDirection(), GPIO_INPUT);
    setenv("PINSIM_DIR", dir.c_str(), 1);
    EXPECT_EQ(pin.getDirection(), GPIO_OUTPUT);
}

TEST_F(StateTest, ClosedStandardDescriptorsAreNotTakenByBoardFiles) {
    EXPECT_EQ(runInChild([] {
                  close(0);
                  close(1);
                  close(2);
                  GPIOPin pin(6);
                  pin.setDirection(GPIO_OUTPUT);
                  const char stray[] = "stray output\n";
                  for (int fd = 0; fd <= 2; ++fd)
                      if (write(fd, stray, sizeof stray - 1) >= 0) return 1;
                  return pin.getLastResult();
              }),
              0);
    EXPECT_EQ(GPIOPin(6).getDirection(), GPIO_OUTPUT);
}

TEST_F(StateTest, DamagedStateIsABoardFaultUntilReset) {
    simboard::BoardState board;
    board.pins[26].fail = -70000;
    board.pins[26].irqDebounce = 5000000000LL;
    const std::string text = simboard::formatBoard(board);
    ASSERT_TRUE(simboard::parseBoard(text, board));
    EXPECT_EQ(simboard::formatBoard(board), text);
    // A shorter state written over a longer one is padded with newlines.
    ASSERT_TRUE(simboard::parseBoard(text + "\n\n\n", board));
    EXPECT_EQ(simboard::formatBoard(board), text);
    GPIOPin pin(14);
    for (const std::string& damaged : {text.substr(0, text.size() - 1), text + "x",
                                       "pinsim 2" + text.substr(8), text.substr(0, 30)}) {
        EXPECT_FALSE(simboard::parseBoard(damaged, board));
        FILE* state = fopen((dir + "/state").c_str(), "w");
        fputs(damaged.c_str(), state);
        fclose(state);
        EXPECT_EQ(pin.getDirection(), GPIO_Direction(-1));
        EXPECT_EQ(pin.getLastResult(), EIO);
    }
    ASSERT_EQ(simboard::resetBoard(), 0);
    EXPECT_EQ(pin.getDirection(), GPIO_INPUT);
    EXPECT_EQ(pin.getLastResult(), 0);
}

// The numbers of the text form read as printf writes them, and back only
// when whole and in range.
TEST_F(StateTest, StateNumbersKeepTheirExtremesAndRefuseMore) {
    simboard::BoardState board;
    board.pins[0].fail = INT_MIN;
    board.pins[25].irqDebounce = LLONG_MAX;
    board.pins[26].irqDebounce = LLONG_MIN;
    const std::string text = simboard::formatBoard(board);
    char line[128];
    snprintf(line, sizeof line, "\n0 0 0 0 %d 0 0 0 0 0 0 0\n", INT_MIN);
    EXPECT_NE(text.find(line), std::string::npos) << text;
    snprintf(line, sizeof line, "\n26 0 0 0 0 0 0 0 0 0 0 %lld\n", LLONG_MIN);
    EXPECT_EQ(text.rfind(line), text.size() - strlen(line)) << text;
    simboard::BoardState back;
    ASSERT_TRUE(simboard::parseBoard(text, back));
    EXPECT_EQ(back.pins[25].irqDebounce, LLONG_MAX);
    EXPECT_EQ(back.pins[26].irqDebounce, LLONG_MIN);
    EXPECT_EQ(simboard::formatBoard(back), text);
    const std::string lowest = std::to_string(LLONG_MIN);
    for (const char* bad : {"-9223372036854775809", "9223372036854775808", "-", "+5", "--1", "1-"}) {
        std::string damaged = text;
        damaged.replace(damaged.rfind(lowest), lowest.size(), bad);
        EXPECT_FALSE(simboard::parseBoard(damaged, back)) << bad;
    }
}

}  // namespace
