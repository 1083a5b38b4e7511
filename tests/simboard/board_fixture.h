// Shared by the simulated board's tests: each test gets a fresh, empty
// state folder; helpers run code in a child process and wait.
#ifndef SIMBOARD_TESTS_BOARD_FIXTURE_H
#define SIMBOARD_TESTS_BOARD_FIXTURE_H

#include "edges.h"
#include "outside.h"
#include "varnel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

class BoardTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/simboard-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        setenv("PINSIM_DIR", dir.c_str(), 1);
        signal(SIGPIPE, SIG_IGN);
    }
    void TearDown() override { EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0); }
    std::string dir;
};

class NullHandler : public GPIO_Irq_Handler_Object {
public:
    int handleIrq(int, GPIO_Irq_Type) override { return 0; }
};

inline std::string describe(int pin) {
    std::string text;
    EXPECT_EQ(simboard::describePins(pin, text), 0);
    return text;
}

inline void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Runs body in a forked child whose exit status is body's result. Returns
// that status, or with reap false the child's pid, left for the caller.
inline int runInChild(const std::function<int()>& body, bool reap = true) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    if (!reap) return pid;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// Waits up to ms milliseconds for done() to hold; returns its last value.
inline bool waitFor(const std::function<bool()>& done, int ms = 3000) {
    for (int waited = 0; !done(); waited += 2) {
        if (waited >= ms) return false;
        sleepMs(2);
    }
    return true;
}

#endif
