// Isolation for tests that touch /tmp, the board or processes: each test
// gets a /tmp and a /run of its own (so its records, its board and its
// keeper are its own), and every process it started is killed and reaped
// when it ends.
#ifndef PINCTL_TEST_SANDBOX_H
#define PINCTL_TEST_SANDBOX_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Mounts a fresh tmpfs on /tmp and on /run in a mount namespace of this
// process's own.
// Needs root; on failure says why.
bool enterPrivateTmp(std::string& why);

// Kills and reaps every child of this process, and the orphans it adopts
// as they lose their parents (the test main makes it a subreaper).
void killChildren();

// The processes whose parent is this one (ended or not), from /proc.
std::vector<int> childProcesses();

// The workers of op ("pwm" or "irq") that have not ended among the
// processes this one started, theirs, and so on.
std::vector<int> liveWorkers(const std::string& op);

// Whether pid names a process that has not ended: a zombie has ended.
// A child of this process that has ended is reaped on the way.
bool isRunning(int pid);

class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

#endif
