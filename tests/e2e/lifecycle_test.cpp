// A worker stays within reach of a stop from its start to its end, however
// its caller started it, interrupted it or shared /tmp with other users.
#include "run.h"
#include "sandbox.h"

#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <set>

namespace {

class Lifecycle : public SandboxTest {};

int recorded(const char* kind, int pin)
{
    return recordedPID("/tmp/pin" + std::to_string(pin) + "_" + kind + "_pid");
}

// Milliseconds that f takes.
template <typename F>
long timeMs(F f)
{
    auto start = std::chrono::steady_clock::now();
    f();
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - start)
        .count();
}

TEST_F(Lifecycle, ClosedStandardDescriptorsNeitherLoseTheWorkerNorItsRecord)
{
    ASSERT_EQ(pinctlInShell("exec ", {"pwm", "6", "200", "50"}, " <&- >&- 2>&-").status, 0);
    int pwm = recorded("pwm", 6);
    EXPECT_TRUE(isRunning(pwm));
    EXPECT_EQ(pinctl({"pwmstop", "6"}).status, 0);
    EXPECT_FALSE(isRunning(pwm));

    // The worker's failure message goes nowhere, not into a file of ours.
    ASSERT_EQ(pinsim({"fail", "8", "5"}).status, 0);
    ASSERT_EQ(pinctlInShell("exec ", {"irq", "8", "both", "true"}, " <&- >&-").status, 1);
    EXPECT_FALSE(fileExists("/tmp/pin8_irq_pid"));
    EXPECT_EQ(readFile("/tmp/.pinctl-pin8.lock"), "");
}

TEST_F(Lifecycle, AWorkerEndsOnAStopWhateverSignalsItsCallerIgnoredOrBlocked)
{
    ASSERT_EQ(pinctlInShell("trap '' TERM; ", {"pwm", "6", "200", "50"}).status, 0);
    sigset_t term, saved;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, &saved);
    Result r = pinctl({"irq", "7", "both", "true"});
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    ASSERT_EQ(r.status, 0);

    for (const char* kind : {"pwm", "irq"}) {
        int pin = kind[0] == 'p' ? 6 : 7;
        int worker = recorded(kind, pin);
        // Ended by the SIGTERM, well before a stop would resort to SIGKILL.
        EXPECT_LT(timeMs([&] { pinctl({std::string(kind) + "stop", std::to_string(pin)}); }), 900);
        EXPECT_FALSE(isRunning(worker)) << kind;
    }

    // A record that cannot be named ends the worker, within a bound.
    ASSERT_EQ(mkdir("/tmp/pin12_irq_pid", 0755), 0);
    r = pinctlInShell("trap '' TERM; ", {"irq", "12", "both", "true"}, "", 5000);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "**ERROR starting IRQ on pin:12, writing record failed err=21\n");
    EXPECT_TRUE(liveWorkers("irq").empty());
}

TEST_F(Lifecycle, AStartWaitsForABusyBoard)
{
    ASSERT_GT(holdBoard(3), 0);
    Result r = pinctl({"irq", "8", "both", "echo e >>/tmp/o"}, 15000);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(isRunning(recorded("irq", 8)));
    ASSERT_EQ(pinsim({"level", "8", "1"}).status, 0);
    EXPECT_TRUE(waitFor([] { return readFile("/tmp/o") == "e\n"; }));
}

TEST_F(Lifecycle, AStartKilledMidwayLeavesNothingBehind)
{
    for (int sig : {SIGINT, SIGKILL}) {
        ASSERT_GT(holdBoard(1), 0);
        // A caller that ignores SIGPIPE, as many do.
        int start = startProcess(
            {"sh", "-c", "trap '' PIPE; exec " + pinctlLine({"irq", "8", "both", "true"})});
        sleepMs(300);
        kill(start, sig);
        EXPECT_TRUE(waitFor([] { return liveWorkers("irq").empty(); }, 5000)) << sig;
        EXPECT_FALSE(fileExists("/tmp/pin8_irq_pid"));
    }
    ASSERT_EQ(pinctl({"irq", "8", "both", "true"}).status, 0);
    std::set<std::string> left;
    DIR* tmp = opendir("/tmp");
    ASSERT_NE(tmp, nullptr);
    while (struct dirent* e = readdir(tmp))
        left.insert(e->d_name);
    closedir(tmp);
    // A build folder under /tmp is bound into the private one.
    const std::string bin = PINCTL_BIN;
    if (bin.compare(0, 5, "/tmp/") == 0)
        left.erase(bin.substr(5, bin.find('/', 5) - 5));
    EXPECT_EQ(left,
              (std::set<std::string>{".", "..", ".pinctl-pin8.lock", "pin8_irq_pid", "pinsim"}));
}

TEST_F(Lifecycle, WorkersOutliveTheScriptThatStartedThem)
{
    // A script in a session of its own, as a terminal would run it.
    int script = startProcess({"setsid", "sh", "-c",
                               pinctlLine({"irq", "8", "both", "echo e"}) + "; " +
                                   pinctlLine({"pwm", "6", "200", "50"}) + "; sleep 30"});
    ASSERT_TRUE(waitFor([] { return fileExists("/tmp/pin6_pwm_pid"); }));
    kill(-script, SIGINT);
    kill(-script, SIGHUP);
    EXPECT_TRUE(waitFor([&] { return !isRunning(script); }));
    sleepMs(100);
    EXPECT_TRUE(isRunning(recorded("irq", 8)));
    EXPECT_TRUE(isRunning(recorded("pwm", 6)));
}

TEST_F(Lifecycle, APinsLockStaysWithItsUserButRootTakesItOver)
{
    // Between two ordinary users the first keeps the pin: a lock file
    // another user prepared (one of theirs is half way through a start on
    // pin 8), or a link, is refused at once.
    ASSERT_EQ(symlink("/tmp/elsewhere", "/tmp/.pinctl-pin7.lock"), 0);
    ASSERT_GT(holdLock("/tmp/.pinctl-pin8.lock", OTHER_USER, 3), 0);
    auto held = std::chrono::steady_clock::now();
    const std::string third = "export PINSIM_DIR=/tmp/third; ";
    Result r;
    EXPECT_LT(timeMs([&] {
                  r = runAsOtherUser(third + pinctlLine({"irq", "8", "both", "true"}), 10000,
                                     OTHER_USER - 1);
              }),
              2000);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "**ERROR starting IRQ on pin:8, locking pin failed err=1\n");
    r = runAsOtherUser(third + pinctlLine({"pwm", "7", "200", "50"}), 10000, OTHER_USER - 1);
    EXPECT_EQ(r.out, "**ERROR starting PWM on pin:7, locking pin failed err=" +
                         std::to_string(ELOOP) + "\n");
    EXPECT_TRUE(liveWorkers("irq").empty() && liveWorkers("pwm").empty());

    // Root takes both pins over: pin 8 once that start is done.
    r = pinctl({"irq", "8", "both", "true"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_GE(std::chrono::steady_clock::now() - held, std::chrono::milliseconds(2900));
    EXPECT_EQ(pinctl({"pwm", "7", "200", "50"}).status, 0);
    for (const char* lock : {"/tmp/.pinctl-pin7.lock", "/tmp/.pinctl-pin8.lock"}) {
        struct stat st;
        ASSERT_EQ(lstat(lock, &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_uid == 0 && (st.st_mode & 0777) == 0600) << lock;
    }

    // Another user's worker, and their lock: root's start ends it.
    r = runAsOtherUser("export PINSIM_DIR=/tmp/other; " + pinctlLine({"pwm", "6", "200", "50"}));
    ASSERT_EQ(r.status, 0) << r.out;
    int theirs = recorded("pwm", 6);
    // A draft planted and locked by another user does not stop a start.
    ASSERT_GT(holdLock("/tmp/.pin6_pwm_pid.draft", OTHER_USER, 10), 0);
    ASSERT_EQ(pinctl({"pwm", "6", "200", "50"}).status, 0);
    int worker = recorded("pwm", 6);
    EXPECT_TRUE(isRunning(worker));
    EXPECT_FALSE(isRunning(theirs));

    // Nor can another user stop it, or remove its record.
    r = runAsOtherUser(pinctlLine({"pwmstop", "6"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "**ERROR stopping PWM on pin:6, locking pin failed err=13\n");
    EXPECT_TRUE(isRunning(worker));
    EXPECT_EQ(recorded("pwm", 6), worker);
}

TEST_F(Lifecycle, WorkersOfAnEarlierVersionAreRecognisedAndStopped)
{
    // A process that runs as "pinctl pwm 6" and holds no lock on the
    // record, as an earlier version's worker did; this one ignores SIGTERM.
    writeFile("/tmp/pwm", "trap '' TERM; sleep 60 & wait\n");
    int legacy = startProcess({"bash", "-c", "cd /tmp && exec -a pinctl sh pwm 6"});
    ASSERT_TRUE(waitFor([&] {
        return readFile("/proc/" + std::to_string(legacy) + "/cmdline") ==
               std::string("pinctl\0pwm\0"
                           "6\0",
                           13);
    }));
    for (int pin : {6, 7})
        writeFile("/tmp/pin" + std::to_string(pin) + "_pwm_pid",
                  std::to_string(legacy) + "\nFrequency:200, Duty:50\n");

    // Not pin 7's worker: that record is stale.
    EXPECT_EQ(pinctl({"pwmstop", "7"}).status, 0);
    EXPECT_FALSE(fileExists("/tmp/pin7_pwm_pid"));
    EXPECT_TRUE(isRunning(legacy));

    Result r = pinctl({"pwmstop", "6"});
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(isRunning(legacy));
    EXPECT_FALSE(fileExists("/tmp/pin6_pwm_pid"));
}

}  // namespace
