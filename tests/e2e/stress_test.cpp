// Stress: several invocations at once on one pin, of every command that
// touches it, while the outside level keeps toggling. Bounded in time; run
// it alone with `ctest -R '^Stress\.'`.
#include "expected.h"
#include "run.h"
#include "sandbox.h"

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

const int CLIENTS = 4;
const auto RUN_TIME = std::chrono::seconds(15);

struct Invocation {
    std::vector<std::string> args;
    Result result;
};

std::vector<std::string> pickCommand(std::mt19937& rng)
{
    switch (rng() % 8) {
    case 0:
        return {"set", "6", std::to_string(rng() % 2)};
    case 1:
        return {"get", "6"};
    case 2:
        return {"pwm", "6", std::to_string(1 + rng() % 1000), std::to_string(rng() % 101)};
    case 3:
        return {"pwmstop", "6"};
    case 4:
        return {"irq", "6", "both", "echo >>/tmp/edges", std::to_string(rng() % 3)};
    case 5:
        return {"irq", "6", rng() % 2 ? "rising" : "falling", "[debug]true"};
    case 6:
        return {"irqstop", "6"};
    default:
        return {"info", "6"};
    }
}

// What is wrong with one finished invocation, or "".
std::string checkInvocation(const Invocation& inv)
{
    const Result& r = inv.result;
    const std::string& op = inv.args[0];
    if (r.timedOut)
        return "hung";
    if (!r.err.empty())
        return "wrote to stderr: " + r.err;
    if (op == "get")
        return r.status == 0 || r.status == 1 ? "" : "status " + std::to_string(r.status);
    if (r.status != 0)
        return "status " + std::to_string(r.status) + ", output: " + r.out;
    if (op == "info")
        return r.out.rfind("Pin:6, Direction:", 0) == 0 ? "" : "output: " + r.out;
    // A debug interrupt worker announces edges on the output of its start.
    std::string out = r.out;
    if (inv.args.back() == "[debug]true") {
        for (const char* edge :
             {"GPIO Irq Debug: Pin=6 Type=Rising\n", "GPIO Irq Debug: Pin=6 Type=Falling\n"}) {
            for (size_t at; (at = out.find(edge)) != std::string::npos;)
                out.erase(at, strlen(edge));
        }
    }
    return out.empty() ? "" : "output: " + r.out;
}

// Starts irq workers on pin 6 from several processes at once; the number
// of interrupt workers left once irqstop has run.
size_t startIRQsAtOnce(int processes, int each)
{
    std::vector<std::thread> threads;
    for (int p = 0; p < processes; p++)
        threads.emplace_back([each] {
            for (int i = 0; i < each; i++)
                pinctl({"irq", "6", "both", "true"});
        });
    for (std::thread& t : threads)
        t.join();
    pinctl({"irqstop", "6"});
    return liveWorkers("irq").size();
}

class Stress : public SandboxTest {};
class ConcurrentStarts : public SandboxTest {};

// Two starts at once used to name a record each, the later replacing the
// earlier, so that one worker was out of reach of every stop for good.
TEST_F(ConcurrentStarts, LeaveNoWorkerOutOfReach)
{
    EXPECT_EQ(startIRQsAtOnce(3, 8), 0u);
}

TEST_F(Stress, ConcurrentCommandsOnOnePinWhileItToggles)
{
    const Clock::time_point end = Clock::now() + RUN_TIME;
    std::mutex lock;
    std::vector<Invocation> done;
    std::atomic<int> toggles{0};

    std::vector<std::thread> threads;
    for (int c = 0; c < CLIENTS; c++) {
        threads.emplace_back([&, c] {
            std::mt19937 rng(1000 + c);
            while (Clock::now() < end) {
                Invocation inv;
                inv.args = pickCommand(rng);
                inv.result = pinctl(inv.args);
                std::lock_guard<std::mutex> hold(lock);
                done.push_back(inv);
            }
        });
    }
    threads.emplace_back([&] {
        for (int level = 1; Clock::now() < end; level ^= 1) {
            Invocation inv;
            inv.args = {"level", "6", std::to_string(level)};
            inv.result = pinsim(inv.args);
            toggles++;
            if (inv.result.timedOut || inv.result.status != 0 || !inv.result.err.empty()) {
                std::lock_guard<std::mutex> hold(lock);
                done.push_back(inv);
            }
        }
    });
    for (std::thread& t : threads)
        t.join();

    int failures = 0;
    for (const Invocation& inv : done) {
        std::string what = inv.args[0] == "level" ? "failed" : checkInvocation(inv);
        if (!what.empty() && ++failures <= 10) {
            std::string cmd;
            for (const std::string& a : inv.args)
                cmd += a + " ";
            ADD_FAILURE() << cmd << ": " << what;
        }
    }
    EXPECT_EQ(failures, 0);
    // Even under an emulator, enough ran at once to mean something.
    printf("%zu invocations, %d toggles\n", done.size(), toggles.load());
    EXPECT_GE(done.size(), 40u);
    EXPECT_GE(toggles.load(), 40);

    // Every record left reads as an id and one line of parameters; no draft
    // is left behind.
    for (const char* path : {"/tmp/pin6_pwm_pid", "/tmp/pin6_irq_pid"}) {
        std::string text = readFile(path);
        size_t nl = text.find('\n');
        if (fileExists(path)) {
            EXPECT_TRUE(recordedPID(path) > 0 && nl != std::string::npos &&
                        text.find('\n', nl + 1) == text.size() - 1)
                << path << ": " << text;
        }
    }
    DIR* tmp = opendir("/tmp");
    ASSERT_NE(tmp, nullptr);
    while (struct dirent* e = readdir(tmp))
        EXPECT_EQ(strstr(e->d_name, ".draft"), nullptr) << "draft left: " << e->d_name;
    closedir(tmp);

    // The board's state reads cleanly: a line for each usable pin.
    Result show = pinsim({"show"});
    EXPECT_EQ(show.status, 0);
    EXPECT_EQ(show.err, "");
    int lines = 0;
    for (size_t at = 0, nl; (nl = show.out.find('\n', at)) != std::string::npos;
         at = nl + 1, lines++) {
        int pin, level, fail = -1;
        char dir[8], pwm[24], irq[12];
        EXPECT_EQ(sscanf(show.out.substr(at, nl - at).c_str(),
                         "pin=%d direction=%7s level=%d pwm=%23s irq=%11s fail=%d", &pin, dir,
                         &level, pwm, irq, &fail),
                  6)
            << show.out;
        EXPECT_EQ(fail, 0);
    }
    EXPECT_EQ(lines, (int)USABLE_PINS.size()) << show.out;

    // Once stopped, the pin has no interrupt worker left anywhere.
    EXPECT_EQ(pinctl({"irqstop", "6"}).status, 0);
    EXPECT_EQ(pinctl({"pwmstop", "6"}).status, 0);
    EXPECT_TRUE(waitFor([] { return liveWorkers("irq").empty(); }, 2000))
        << liveWorkers("irq").size() << " interrupt workers outlived irqstop";
}

}  // namespace
