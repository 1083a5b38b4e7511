// Injected faults and faults of the board itself.
#include "board_fixture.h"

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Every operation on pin n must report code, getters their failure values.
void expectEveryOperationReports(int n, int code)
{
    GPIOPin pin(n);
    NullHandler handler;
    const std::function<void()> ops[] = {
        [&] { pin.setDirection(GPIO_OUTPUT); },
        [&] { pin.set(1); },
        [&] { pin.setPWM(50, 20); },
        [&] { pin.setIrq(GPIO_IRQ_BOTH, &handler, 0); },
        [&] { EXPECT_EQ(pin.getDirection(), GPIO_Direction(-1)); },
        [&] { EXPECT_EQ(pin.get(), -1); },
        [&] { EXPECT_FALSE(pin.isPWMRunning()); },
    };
    for (const auto& op : ops) {
        op();
        EXPECT_EQ(pin.getLastResult(), code);
    }
}

using FailTest = BoardTest;

TEST_F(FailTest, FailingPinReportsItsCodeAndChangesNothing)
{
    GPIOPin pin(15);
    pin.setPWM(200, 50);
    ASSERT_TRUE(pin.isPWMRunning());
    for (int code : {5, 300, -7}) {
        ASSERT_EQ(simboard::injectFail(15, code), 0);
        const std::string before = describe(15);
        expectEveryOperationReports(15, code);
        EXPECT_EQ(describe(15), before);
        EXPECT_EQ(GPIOPin(16).getDirection(), GPIO_INPUT);  // other pins unaffected
    }
    ASSERT_EQ(simboard::injectFail(15, 0), 0);
    EXPECT_TRUE(pin.isPWMRunning());  // the failing setPWM/setIrq did not stop it
    EXPECT_EQ(pin.getLastResult(), 0);
    EXPECT_EQ(describe(15), "pin=15 direction=in level=0 pwm=200/50 irq=off fail=0\n");
}

// The library reports board faults as codes, never on stderr.
class BoardFaultTest : public BoardTest {
protected:
    void expectFault(int code)
    {
        fflush(stderr);
        const int saved = dup(2);
        const std::string errPath = dir + "/stderr";
        const int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(errFd, 2);
        expectEveryOperationReports(6, code);
        std::string text;
        EXPECT_EQ(simboard::describePins(-1, text), code);
        EXPECT_EQ(simboard::applyLevel(6, 1), code);
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        close(errFd);
        EXPECT_EQ(readFile(errPath), "");
    }
};

TEST_F(BoardFaultTest, FolderUnderARegularFile)
{
    const std::string file = dir + "/file";
    writeFile(file, "");
    setenv("PINSIM_DIR", (file + "/board").c_str(), 1);
    expectFault(ENOTDIR);
}

TEST_F(BoardFaultTest, StateFileIsAFolder)
{
    ASSERT_EQ(mkdir((dir + "/state").c_str(), 0755), 0);
    expectFault(EISDIR);
}

}  // namespace
