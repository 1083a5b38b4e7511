// Many processes and threads at once: no lost update, no reordered edge.
#include "board_fixture.h"

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace {

// Forks n children running body(1..n) and returns how many exited 0.
int runChildren(int n, const std::function<int(int)>& body)
{
    std::vector<int> pids;
    for (int i = 1; i <= n; ++i)
        pids.push_back(startInChild([&] { return body(i); }));
    int ok = 0;
    for (int pid : pids)
        ok += waitForExit(pid, 60000) == 0;
    return ok;
}

// Read-modify-writes pin 0's fail field as a counter, rounds times.
int countUp(int rounds)
{
    int errors = 0;
    for (int i = 0; i < rounds; ++i)
        errors += simboard::useBoard(
                      [](simboard::BoardState& board, simboard::BoardSite&, bool& changed) {
                          ++board.pins[0].fail;
                          changed = true;
                          return 0;
                      }) != 0;
    return errors;
}

using ConcurrencyTest = BoardTest;

TEST_F(ConcurrencyTest, ProcessesAndThreadsLoseNoUpdate)
{
    std::atomic<int> threadErrors{0};
    std::thread a([&] { threadErrors += countUp(100); });
    std::thread b([&] { threadErrors += countUp(100); });
    EXPECT_EQ(runChildren(4, [](int) { return countUp(100); }), 4);
    a.join();
    b.join();
    EXPECT_EQ(threadErrors, 0);
    GPIOPin pin(0);
    pin.get();
    EXPECT_EQ(pin.getLastResult(), 600);  // the counter, read back as a fail code
}

class Alternation : public GPIO_Irq_Handler_Object {
public:
    int handleIrq(int, GPIO_Irq_Type type) override
    {
        if (type == last)
            repeated = true;
        last = type;
        return 0;
    }
    std::atomic<int> last{GPIO_IRQ_FALLING};  // the pin starts low
    std::atomic<bool> repeated{false};
};

TEST_F(ConcurrencyTest, EdgesFromRacingProcessesStayInOrder)
{
    Alternation handler;
    GPIOPin pin(7);
    pin.setIrq(GPIO_IRQ_BOTH, &handler, 0);
    EXPECT_EQ(runChildren(3,
                          [](int step) {
                              for (int k = 0; k < 100; ++k)
                                  if (simboard::applyLevel(7, (k / step) % 2) != 0)
                                      return 1;
                              return 0;
                          }),
              3);
    const int wantLast = pin.get() == 1 ? GPIO_IRQ_RISING : GPIO_IRQ_FALLING;
    sleepMs(150);
    EXPECT_EQ(handler.last, wantLast);
    EXPECT_FALSE(handler.repeated);  // R and F must alternate
}

}  // namespace
