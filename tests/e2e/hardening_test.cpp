// What a careless caller, a crashing system or another local user may do,
// and how the workers keep their promise through it.
#include "run.h"
#include "sandbox.h"

#include <cerrno>
#include <chrono>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Hardening : public SandboxTest {};

std::string linkOf(const std::string& path)
{
    char target[4096];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, (size_t)n) : "";
}

// What the process's descriptors are, one per line.
std::string descriptorsOf(int pid)
{
    Result r = runCommand({"ls", "-l", "/proc/" + std::to_string(pid) + "/fd/"});
    return r.out;
}

long millisecondsOf(const std::function<void()>& f)
{
    auto start = std::chrono::steady_clock::now();
    f();
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - start)
        .count();
}

TEST_F(Hardening, WorkersAndCommandsKeepNoneOfTheCallersDescriptorsNorThePWMItsFolder)
{
    ASSERT_EQ(mkdir("/tmp/work", 0755), 0);
    Result r =
        pinctlInShell("cd /tmp/work && exec 9>/tmp/held && ",
                      {"irq", "8", "rising", "ls -l /proc/self/fd/ >/tmp/fds; pwd >/tmp/pwd"},
                      " && " + pinctlLine({"pwm", "6", "200", "50"}));
    ASSERT_EQ(r.status, 0) << r.out;
    int irq = recordedPID("/tmp/pin8_irq_pid");
    int pwm = recordedPID("/tmp/pin6_pwm_pid");
    EXPECT_EQ(descriptorsOf(irq).find("/tmp/held"), std::string::npos);
    EXPECT_EQ(descriptorsOf(pwm).find("/tmp/held"), std::string::npos);
    EXPECT_EQ(linkOf("/proc/" + std::to_string(pwm) + "/cwd"), "/");
    EXPECT_EQ(linkOf("/proc/" + std::to_string(irq) + "/cwd"), "/tmp/work");
    ASSERT_EQ(pinsim({"level", "8", "1"}).status, 0);
    ASSERT_TRUE(waitFor([] { return readFile("/tmp/pwd") == "/tmp/work\n"; }));
    EXPECT_EQ(readFile("/tmp/fds").find("/tmp/held"), std::string::npos);

    // A command substitution's pipe on descriptor 3 is not kept open.
    r = pinctlInShell("x=$( { ", {"pwm", "13", "200", "50"}, "; } 3>&1 ) && echo returned", 5000);
    EXPECT_EQ(r.out, "returned\n");
}

TEST_F(Hardening, AUmaskWithoutTheOwnersBitsChangesNoModeWeMean)
{
    Result r = runAsOtherUser(
        "export PINSIM_DIR=/tmp/other; umask 0277; " + pinctlLine({"pwm", "6", "200", "50"}) +
        " && " + pinctlLine({"pwmstop", "6"}) + " && " +
        pinctlLine({"irq", "8", "rising", "echo e >>/tmp/other/o"}) +
        " && PINSIM_DIR=/tmp/other $PINCTL_TEST_LAUNCHER " + PINSIM_BIN +
        " level 8 1 && sleep 1 && " + pinctlLine({"irqstop", "8"}) + " && cat /tmp/other/o");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "e\n");
    struct stat st;
    ASSERT_EQ(stat("/tmp/.pinctl-pin6.lock", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat("/tmp/other", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
}

TEST_F(Hardening, AStopThatCannotDoItsWorkSaysWhyAndKeepsTheRecord)
{
    ASSERT_EQ(pinctl({"irq", "8", "both", "true"}).status, 0);
    int worker = recordedPID("/tmp/pin8_irq_pid");
    // Room for the lock file only: the record cannot be opened.
    Result r =
        pinctlInShell("exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; ulimit -n 4; ", {"irqstop", "8"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "**ERROR stopping IRQ on pin:8, reading record failed err=" +
                         std::to_string(EMFILE) + "\n");

    // A /tmp where another user may remove our files: no start, no stop.
    for (const char* how : {"chmod 0777 /tmp", "chmod 1777 /tmp && chown 65534 /tmp"}) {
        ASSERT_EQ(system(how), 0);
        r = pinctl({"pwm", "6", "200", "50"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "**ERROR starting PWM on pin:6, checking /tmp failed err=1\n") << how;
        EXPECT_TRUE(liveWorkers("pwm").empty());
        r = pinctl({"irqstop", "8"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "**ERROR stopping IRQ on pin:8, checking /tmp failed err=1\n") << how;
        ASSERT_EQ(system("chown 0 /tmp && chmod 1777 /tmp"), 0);
    }
    EXPECT_TRUE(isRunning(worker));
    EXPECT_EQ(recordedPID("/tmp/pin8_irq_pid"), worker);
}

TEST_F(Hardening, AWriteOfTheBoardCutShortLeavesItWhole)
{
    ASSERT_EQ(pinctl({"setd", "6", "out"}).status, 0);
    ASSERT_EQ(pinctl({"irq", "8", "both", "echo e >>/tmp/o"}).status, 0);
    // sh counts the limit in 512-byte blocks: less than the state holds.
    pinctlInShell("ulimit -f 1; ", {"pwm", "6", "200", "50"});
    Result r = pinctl({"get", "7"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(pinsim({"show", "6"}).status, 0);
    ASSERT_EQ(pinsim({"level", "8", "1"}).status, 0);
    EXPECT_TRUE(waitFor([] { return readFile("/tmp/o") == "e\n"; }));
    EXPECT_EQ(pinctl({"info", "8"}).out.find("Pin:8, Direction:INPUT, Value:1 IRQ\n"), 0u);
}

TEST_F(Hardening, NoProcessButTheRecordedWorkerIsEverSignalled)
{
    // A wrapper running "pinctl pwm 6" later among its arguments, and a
    // "pinctl pwm 7" that started after its record was written.
    int wrapper =
        startProcess({"bash", "-c", "exec -a timeout sh -c 'sleep 30' 30 pinctl pwm 6 300 20"});
    writeFile("/tmp/pin7_pwm_pid", "0\nFrequency:200, Duty:50\n");
    ASSERT_EQ(system("touch -d '1 minute ago' /tmp/pin7_pwm_pid"), 0);
    writeFile("/tmp/pwm", "sleep 30\n");
    int late = startProcess({"bash", "-c", "cd /tmp && exec -a pinctl sh pwm 7"});
    ASSERT_TRUE(waitFor([&] {
        return readFile("/proc/" + std::to_string(late) + "/cmdline").find("pinctl") == 0;
    }));
    writeFile("/tmp/pin6_pwm_pid", std::to_string(wrapper) + "\nFrequency:200, Duty:50\n");
    writeFile("/tmp/pin7_pwm_pid", std::to_string(late) + "\nFrequency:200, Duty:50\n");
    ASSERT_EQ(system("touch -d '1 minute ago' /tmp/pin7_pwm_pid"), 0);
    for (int pin : {6, 7}) {
        EXPECT_EQ(pinctl({"pwm", std::to_string(pin), "100", "10"}).status, 0);
        pinctl({"pwmstop", std::to_string(pin)});
    }
    EXPECT_TRUE(isRunning(wrapper));
    EXPECT_TRUE(isRunning(late));

    // Another user's read lock on a stale record is no worker's.
    int worker = 0;
    ASSERT_EQ(pinctl({"pwm", "6", "200", "50"}).status, 0);
    worker = recordedPID("/tmp/pin6_pwm_pid");
    kill(worker, SIGKILL);
    ASSERT_TRUE(waitFor([&] { return !isRunning(worker); }));
    int reader = holdLock("/tmp/pin6_pwm_pid", OTHER_USER, 20);
    ASSERT_GT(reader, 0);
    EXPECT_EQ(pinctl({"pwmstop", "6"}).out, "");
    EXPECT_FALSE(fileExists("/tmp/pin6_pwm_pid"));
    EXPECT_TRUE(isRunning(reader));

    // A worker started in a PID namespace of its own records the id it
    // has there; a stop from here finds it by its record's lock.
    int ns = startProcess({"unshare", "--pid", "--fork", "sh", "-c",
                           pinctlLine({"irq", "8", "both", "true"}) + "; sleep 30"});
    ASSERT_TRUE(waitFor([] { return fileExists("/tmp/pin8_irq_pid"); }));
    std::vector<int> inside;
    ASSERT_TRUE(waitFor([&] { return (inside = liveWorkers("irq")).size() == 1; }));
    EXPECT_NE(recordedPID("/tmp/pin8_irq_pid"), inside[0]);
    EXPECT_NE(pinctl({"info", "8"}).out.find("Process Id:" + std::to_string(inside[0]) + "\n"),
              std::string::npos);
    EXPECT_EQ(pinctl({"irqstop", "8"}).out, "");
    EXPECT_TRUE(waitFor([&] { return !isRunning(inside[0]); }));
    EXPECT_FALSE(fileExists("/tmp/pin8_irq_pid"));
    kill(ns, SIGKILL);
}

// A board held by another process for 16 s: a sweep gives up on it within
// about 10 s in all, and a PWM worker's check that times out meanwhile is
// no stop.
TEST_F(Hardening, ABusyBoardBoundsASweepAndEndsNoWorker)
{
    ASSERT_EQ(pinctl({"pwm", "6", "200", "50"}).status, 0);
    int worker = recordedPID("/tmp/pin6_pwm_pid");
    ASSERT_GT(holdBoard(16), 0);
    Result r;
    EXPECT_LE(millisecondsOf([&] { r = pinctl({"info", "all"}, 30000); }), 11000);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Pin:26, Direction:\n"), std::string::npos) << r.out;
    // The worker's check at 10 s waits 4 s and fails; after the hold it
    // still runs.
    EXPECT_TRUE(waitFor([] { return pinsim({"show", "6"}).status == 0; }, 20000));
    EXPECT_TRUE(isRunning(worker));
    EXPECT_NE(pinctl({"info", "6"}).out.find("PWM:"), std::string::npos);
}

}  // namespace
