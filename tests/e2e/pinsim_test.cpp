// pinsim, the simulated board's control tool, as tests and people use it.
#include "expected.h"
#include "run.h"
#include "sandbox.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Pinsim : public SandboxTest {};

// CPU time used by the children reaped so far.
double childrenCPUSeconds()
{
    struct rusage ru;
    getrusage(RUSAGE_CHILDREN, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void expectBoardFault(const Result& r, const std::string& dir = "/tmp/pinsim")
{
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("pinsim: board fault in " + dir + ": ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
}

TEST_F(Pinsim, ShowsAFreshBoard)
{
    Result r = pinsim({"show"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, freshBoardShow());
    EXPECT_EQ(r.err, "");
}

TEST_F(Pinsim, LevelFailAndReset)
{
    EXPECT_EQ(pinsim({"level", "6", "1"}).status, 0);
    EXPECT_EQ(pinsim({"fail", "7", "-2147483648"}).status, 0);
    EXPECT_EQ(pinsim({"show", "6"}).out, "pin=6 direction=in level=1 pwm=off irq=off fail=0\n");
    EXPECT_EQ(pinsim({"show", "7"}).out,
              "pin=7 direction=in level=0 pwm=off irq=off fail=-2147483648\n");
    // An output shows the level it drives, not the outside one.
    ASSERT_EQ(pinctl({"set", "6", "0"}).status, 0);
    EXPECT_EQ(pinsim({"show", "6"}).out, "pin=6 direction=out level=0 pwm=off irq=off fail=0\n");
    EXPECT_EQ(pinsim({"reset"}).status, 0);
    EXPECT_EQ(pinsim({"show", "7"}).out, "pin=7 direction=in level=0 pwm=off irq=off fail=0\n");
}

TEST_F(Pinsim, BadArgumentsGiveOneLineOnStderrAndStatus2)
{
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"bogus"},
        {"show", "2"},
        {"show", "6", "7"},
        {"show", "x"},
        {"level", "6"},
        {"level", "6", "2"},
        {"level", "6", "1", "1"},
        {"level", " 6", "1"},
        {"level", "0x6", "1"},
        {"level", "27", "1"},
        {"fail", "6", "x"},
        {"fail", "6", "1x"},
        {"fail", "6", ""},
        {"fail", "6", "2147483648"},
        {"fail", "6", "99999999999999999999"},
        {"fail", "27", "1"},
        {"stop-pwm"},
        {"stop-pwm", "-1"},
        {"reset", "now"},
        {"run"},
    };
    for (const auto& args : bad) {
        Result r = pinsim(args);
        std::string what = args.empty() ? "(none)" : args[0] + " " + args.back();
        EXPECT_EQ(r.status, 2) << what;
        EXPECT_EQ(r.out, "") << what;
        // Without a command, the usage line; else the complaint.
        EXPECT_EQ(r.err.rfind(args.empty() ? "usage: pinsim " : "pinsim: ", 0), 0u) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << what << ": " << r.err;
    }
}

TEST_F(Pinsim, RunLendsTheBoardsLibraryAndNothingElse)
{
    // Its folder first in the loader's path, the caller's path after it;
    // the signal dispositions and the exit status are the command's own.
    char bin[PATH_MAX];
    ASSERT_NE(realpath(PINSIM_BIN, bin), nullptr);
    const std::string folder = std::string(bin).substr(0, std::string(bin).rfind('/'));
    const std::string script = "echo \"$LD_LIBRARY_PATH\"; grep SigIgn /proc/$$/status; exit 3";
    setenv("LD_LIBRARY_PATH", "/earlier", 1);
    Result plain = runCommand({"sh", "-c", script});
    Result r = pinsim({"run", "sh", "-c", script});
    unsetenv("LD_LIBRARY_PATH");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, folder + ":/earlier\n" + plain.out.substr(plain.out.find('\n') + 1));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(pinsim({"run", "sh", "-c", "echo \"$LD_LIBRARY_PATH\""}).out, folder + "\n");

    r = pinsim({"run", "no-such-command"});
    EXPECT_EQ(r.status, 127);
    EXPECT_EQ(r.err.rfind("pinsim: cannot run no-such-command: ", 0), 0u) << r.err;
}

TEST_F(Pinsim, WhatAnotherUserPreparedIsRefusedNotFollowed)
{
    writeFile("/tmp/secret", "root only\n");
    ASSERT_EQ(chmod("/tmp/secret", 0600), 0);
    ASSERT_EQ(runAsOtherUser("mkdir /tmp/pinsim && ln -s /tmp/secret /tmp/pinsim/state").status, 0);
    expectBoardFault(pinsim({"reset"}));
    expectBoardFault(pinsim({"level", "6", "1"}));
    pinctl({"set", "6", "1"});
    EXPECT_EQ(readFile("/tmp/secret"), "root only\n");

    // A link in place of the folder, even to a folder of root's.
    ASSERT_EQ(runAsOtherUser("rm -r /tmp/pinsim && ln -s /tmp /tmp/pinsim").status, 0);
    expectBoardFault(pinsim({"reset"}));
    EXPECT_FALSE(fileExists("/tmp/state"));

    // A folder of theirs higher up: they could swap what is below it.
    ASSERT_EQ(runAsOtherUser("mkdir /tmp/theirs").status, 0);
    setenv("PINSIM_DIR", "/tmp/theirs/board", 1);
    expectBoardFault(pinsim({"show"}), "/tmp/theirs/board");
    unsetenv("PINSIM_DIR");
    EXPECT_FALSE(fileExists("/tmp/theirs/board"));

    // Our own board: nothing in it another user can open.
    ASSERT_EQ(unlink("/tmp/pinsim"), 0);
    ASSERT_EQ(pinctl({"irq", "6", "both", "true"}).status, 0);
    for (const char* name : {"lock", "owners", "state", "irq6"}) {
        struct stat st;
        ASSERT_EQ(lstat((std::string("/tmp/pinsim/") + name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 077, 0u) << name;
    }
}

TEST_F(Pinsim, AHeldLockFailsCallsAfterFourSecondsWithoutSpinning)
{
    const int holder = holdBoard(20);
    ASSERT_GT(holder, 0);
    const double cpuBefore = childrenCPUSeconds();
    const auto start = std::chrono::steady_clock::now();
    Result r = pinsim({"level", "6", "1"}, 8000);
    const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start;
    const double cpu = childrenCPUSeconds() - cpuBefore;
    EXPECT_FALSE(r.timedOut);
    expectBoardFault(r);
    EXPECT_NE(r.err.find(strerror(ETIMEDOUT)), std::string::npos) << r.err;
    EXPECT_GE(waited.count(), 3.9);
    EXPECT_LT(waited.count(), 6.0);
    EXPECT_LT(cpu, 1.0);  // a spinning wait would use about 4 s
    kill(holder, SIGKILL);
    EXPECT_TRUE(waitFor([&] { return !isRunning(holder); }));
    EXPECT_EQ(pinsim({"level", "6", "1"}).status, 0);
}

}  // namespace
