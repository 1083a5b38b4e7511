// PWM ownership: who sees it running, what stops it, dead owners.
#include "board_fixture.h"

#include <functional>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using PwmTest = BoardTest;

TEST_F(PwmTest, RunsOnlyInTheOwnerUntilStoppedFromOutside)
{
    GPIOPin pin(16);
    pin.setPWM(200, 50);
    EXPECT_TRUE(pin.isPWMRunning());
    EXPECT_EQ(describe(16), "pin=16 direction=in level=0 pwm=200/50 irq=off fail=0\n");
    EXPECT_EQ(runInChild([] { return GPIOPin(16).isPWMRunning() ? 1 : 0; }), 0);
    ASSERT_EQ(simboard::stopPWMFromOutside(16), 0);
    EXPECT_FALSE(pin.isPWMRunning());
    EXPECT_EQ(pin.getLastResult(), 0);
    EXPECT_EQ(describe(16), "pin=16 direction=in level=0 pwm=off irq=off fail=0\n");
}

TEST_F(PwmTest, AnyLaterOperationFromAnotherProcessStopsIt)
{
    NullHandler handler;
    const std::function<void(GPIOPin&)> stoppers[] = {
        [](GPIOPin& p) { p.setDirection(GPIO_OUTPUT); },
        [](GPIOPin& p) { p.set(1); },
        [](GPIOPin& p) { p.setPWM(10, 10); },
        [&](GPIOPin& p) { p.setIrq(GPIO_IRQ_FALLING, &handler, 0); },
    };
    GPIOPin pin(17);
    for (const auto& stop : stoppers) {
        pin.setPWM(300, 40);
        ASSERT_TRUE(pin.isPWMRunning());
        GPIOPin other(17);
        EXPECT_EQ(runInChild([&] { return stop(other), other.getLastResult(); }), 0);
        EXPECT_FALSE(pin.isPWMRunning());
    }
    pin.setPWM(300, 40);
    pin.getDirection();  // reading stops nothing
    EXPECT_TRUE(pin.isPWMRunning());
}

TEST_F(PwmTest, OwnerThatExitedShowsNothingEvenAsAZombie)
{
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready) | pipe(release), 0);
    const int child = startInChild([&] {
        NullHandler handler;
        GPIOPin(18).setPWM(300, 10);
        GPIOPin(19).setIrq(GPIO_IRQ_RISING, &handler, 0);
        char c = 'r';
        return write(ready[1], &c, 1) == 1 && read(release[0], &c, 1) == 1 ? 0 : 1;
    });
    close(ready[1]);  // so a dead child cannot leave the read hanging
    close(release[0]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(describe(18), "pin=18 direction=in level=0 pwm=300/10 irq=off fail=0\n");
    EXPECT_EQ(describe(19), "pin=19 direction=in level=0 pwm=off irq=rising fail=0\n");
    EXPECT_FALSE(GPIOPin(18).isPWMRunning());  // not the owner
    ASSERT_EQ(write(release[1], &c, 1), 1);
    siginfo_t info;
    ASSERT_EQ(waitid(P_PID, child, &info, WEXITED | WNOWAIT), 0);  // exited, not reaped
    EXPECT_EQ(describe(18), "pin=18 direction=in level=0 pwm=off irq=off fail=0\n");
    EXPECT_EQ(describe(19), "pin=19 direction=in level=0 pwm=off irq=off fail=0\n");
    EXPECT_EQ(simboard::applyLevel(19, 1), 0);  // no live reader: must not block
    EXPECT_EQ(waitForExit(child), 0);
    close(ready[0]);
    close(release[1]);
}

}  // namespace
