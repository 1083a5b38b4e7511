// Interrupt delivery: edge types, order, bursts, debounce, slow handlers
// and re-arming.
#include "board_fixture.h"
#include "edges.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <future>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Edge = std::pair<int, int>;  // pin, GPIO_Irq_Type
const int R = GPIO_IRQ_RISING;
const int F = GPIO_IRQ_FALLING;

class Recorder : public GPIO_Irq_Handler_Object {
public:
    explicit Recorder(int delayMs = 0) : delayMs_(delayMs) {}
    int handleIrq(int pin, GPIO_Irq_Type type) override
    {
        if (++inside_ > 1)
            overlapped = true;
        sleepMs(delayMs_);
        std::lock_guard<std::mutex> guard(mutex_);
        edges_.emplace_back(pin, type);
        --inside_;
        changed_.notify_all();
        return 0;
    }
    // Waits up to ms for n edges; returns all seen by then.
    std::vector<Edge> waitFor(size_t n, int ms = 3000)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return edges_.size() >= n; });
        return edges_;
    }
    // Waits for n edges, then a while longer for any extra ones.
    std::vector<Edge> settled(size_t n)
    {
        waitFor(n);
        sleepMs(150);
        return waitFor(0, 0);
    }
    std::atomic<bool> overlapped{false};

private:
    int delayMs_;
    std::atomic<int> inside_{0};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Edge> edges_;
};

// Holds every call until opened, then records like Recorder.
class GatedRecorder : public Recorder {
public:
    int handleIrq(int pin, GPIO_Irq_Type type) override
    {
        gate_.wait();
        return Recorder::handleIrq(pin, type);
    }
    void open() { opener_.set_value(); }

private:
    std::promise<void> opener_;
    std::shared_future<void> gate_ = opener_.get_future().share();
};

void drive(int pin, std::initializer_list<int> levels, int holdMs = 0)
{
    for (int level : levels) {
        ASSERT_EQ(simboard::applyLevel(pin, level), 0);
        sleepMs(holdMs);
    }
}

using IrqTest = BoardTest;

TEST_F(IrqTest, EachTypeDeliversExactlyItsEdgesInOrder)
{
    Recorder recorder;  // shared by three pins: still one call at a time
    GPIOPin(6).setIrq(GPIO_IRQ_RISING, &recorder, 0);
    GPIOPin(7).setIrq(GPIO_IRQ_FALLING, &recorder, 0);
    GPIOPin(8).setIrq(GPIO_IRQ_BOTH, &recorder, 0);
    EXPECT_EQ(runInChild([] {  // edges may come from any process
                  for (int pin : {6, 7, 8})
                      for (int level : {1, 1, 0, 1, 0, 0, 1})
                          if (simboard::applyLevel(pin, level) != 0)
                              return 1;
                  return 0;
              }),
              0);
    const std::vector<Edge> expected = {{6, R}, {6, R}, {6, R}, {7, F}, {7, F},
                                        {8, R}, {8, F}, {8, R}, {8, F}, {8, R}};
    std::vector<Edge> seen = recorder.settled(expected.size());
    std::stable_sort(seen.begin(), seen.end(), [](Edge a, Edge b) { return a.first < b.first; });
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(recorder.overlapped);
}

TEST_F(IrqTest, BurstOfQuickTogglesLosesNothing)
{
    Recorder recorder;
    GPIOPin(23).setIrq(GPIO_IRQ_BOTH, &recorder, 0);
    const int toggles = 200;
    for (int i = 1; i <= toggles; ++i)
        ASSERT_EQ(simboard::applyLevel(23, i % 2), 0);
    const std::vector<Edge> seen = recorder.settled(toggles);
    ASSERT_EQ(seen.size(), size_t(toggles));
    for (int i = 0; i < toggles; ++i)
        EXPECT_EQ(seen[i].second, i % 2 == 0 ? R : F) << i;
}

TEST_F(IrqTest, DebounceSwallowsGlitchesAndPassesAHeldChange)
{
    Recorder recorder;
    GPIOPin(26).setIrq(GPIO_IRQ_BOTH, &recorder, 100);
    drive(26, {1, 0});  // back to the level before: nothing
    EXPECT_TRUE(recorder.waitFor(1, 250).empty());
    const auto start = std::chrono::steady_clock::now();
    drive(26, {1});
    EXPECT_EQ(recorder.waitFor(1), std::vector<Edge>({{26, R}}));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    drive(26, {0, 1});
    drive(26, {0}, 40);
    drive(26, {1});  // 0 held only 40 ms: swallowed too
    sleepMs(250);
    EXPECT_EQ(recorder.waitFor(0, 0).size(), 1u);
}

TEST_F(IrqTest, SlowHandlerGetsEveryEdgeJudgedByWhenItHappened)
{
    Recorder recorder(100);
    GPIOPin(13).setIrq(GPIO_IRQ_BOTH, &recorder, 20);
    // Each level holds past the debounce, but the later edges are read in
    // one batch after the first slow call.
    drive(13, {1, 0, 1, 0}, 40);
    EXPECT_EQ(recorder.settled(4), std::vector<Edge>({{13, R}, {13, F}, {13, R}, {13, F}}));
}

TEST_F(IrqTest, HandlerThatBlocksHoldsUpNoWriterAndGetsTheFirstEdgesInOrder)
{
    // Far more lines than a FIFO holds, and more edges than the queue.
    const int toggles = static_cast<int>(simboard::kEdgeQueueCap) + 1000;
    // Written from a child: a writer stuck on a full FIFO fails the test
    // instead of hanging it. Forked before this process has threads, and
    // started on a word from it: a child forked beside running threads may
    // find a lock of theirs held for good (the sanitizers' allocator's).
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const int writer = startInChild([&] {
        char c;
        if (read(go[0], &c, 1) != 1)
            return 2;
        for (int i = 1; i <= toggles; ++i)
            if (simboard::applyLevel(8, i % 2) != 0)
                return 1;
        return simboard::applyLevel(6, 1);
    });
    close(go[0]);
    GatedRecorder recorder;
    GPIOPin(8).setIrq(GPIO_IRQ_BOTH, &recorder, 0);
    ASSERT_EQ(write(go[1], "g", 1), 1);
    close(go[1]);
    // Every write is taken (the writer's status): the bound only ends a
    // hung test, and leaves room for a sanitized build on a busy machine.
    EXPECT_EQ(waitForExit(writer, 240000), 0);
    recorder.open();
    // The queue's worth, and the one edge the handler held when it filled.
    recorder.waitFor(simboard::kEdgeQueueCap + 1, 30000);
    const std::vector<Edge> seen = recorder.settled(simboard::kEdgeQueueCap + 1);
    ASSERT_EQ(seen.size(), simboard::kEdgeQueueCap + 1);
    int outOfOrder = 0;
    for (size_t i = 0; i < seen.size(); ++i)
        outOfOrder += seen[i].second != (i % 2 == 0 ? R : F);
    EXPECT_EQ(outOfOrder, 0);
}

TEST_F(IrqTest, StoppedOwnerHoldsUpItsPinsWriterFourSecondsAndNoOtherPin)
{
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const int owner = startInChild([&] {
        NullHandler handler;
        GPIOPin(12).setIrq(GPIO_IRQ_BOTH, &handler, 0);
        if (write(ready[1], "r", 1) != 1)
            return 1;
        pause();
        return 0;
    });
    close(ready[1]);
    char c;
    EXPECT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    kill(owner, SIGSTOP);  // its FIFO fills and stays full
    std::atomic<int> err{0};
    // How long the write that gave up waited: the writes before it take
    // as long as the machine's load makes them.
    std::chrono::steady_clock::duration lastWait{};
    std::thread writer([&] {
        for (int i = 1; err == 0 && i <= 20000; ++i) {
            const auto before = std::chrono::steady_clock::now();
            err = simboard::applyLevel(12, i % 2);
            lastWait = std::chrono::steady_clock::now() - before;
        }
    });
    sleepMs(2000);  // the FIFO is full well before
    const auto other = std::chrono::steady_clock::now();
    EXPECT_EQ(simboard::applyLevel(6, 1), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - other, std::chrono::milliseconds(500));
    writer.join();
    EXPECT_EQ(err, ETIMEDOUT);
    EXPECT_GE(lastWait, std::chrono::milliseconds(3900));
    EXPECT_LT(lastWait, std::chrono::seconds(6));
    kill(owner, SIGKILL);
    waitForExit(owner);
}

TEST_F(IrqTest, LaterSetIrqReplacesTheEarlierArming)
{
    // The other process is forked before this one has any interrupt thread
    // and armed on a word from it: under qemu-user (7.2) a child forked from
    // a threaded process dies as soon as it starts a thread.
    int go[2], ready[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(ready), 0);
    const int child = startInChild([&] {
        close(go[1]);
        char c = 0;
        if (read(go[0], &c, 1) != 1)
            return 8;
        Recorder theirs;
        GPIOPin(14).setIrq(GPIO_IRQ_FALLING, &theirs, 0);
        c = 'r';
        return write(ready[1], &c, 1) == 1 ? static_cast<int>(theirs.waitFor(1).size()) : 9;
    });
    close(go[0]);
    close(ready[1]);  // so a dead child cannot leave the read hanging

    Recorder first, second;
    GPIOPin pin(14);
    pin.setIrq(GPIO_IRQ_BOTH, &first, 0);
    pin.setIrq(GPIO_IRQ_RISING, &second, 0);
    drive(14, {1, 0});
    EXPECT_EQ(second.settled(1), std::vector<Edge>({{14, R}}));
    char c = 'g';
    ASSERT_EQ(write(go[1], &c, 1), 1);
    close(go[1]);
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    drive(14, {1, 0});
    EXPECT_EQ(waitForExit(child), 1);
    EXPECT_TRUE(first.waitFor(0, 0).empty());
    EXPECT_EQ(second.waitFor(0, 0).size(), 1u);
    close(ready[0]);
}

}  // namespace
