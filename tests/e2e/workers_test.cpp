// PWM and interrupt workers: started, reported, driven and stopped as a
// user would.
#include "run.h"
#include "sandbox.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace {

// Lines of /tmp/o, where the interrupt commands below write.
int linesOut()
{
    std::string text = readFile("/tmp/o");
    int n = 0;
    for (char c : text)
        n += c == '\n';
    return n;
}

void drive(int pin, const std::vector<int>& levels)
{
    for (int level : levels)
        ASSERT_EQ(pinsim({"level", std::to_string(pin), std::to_string(level)}).status, 0);
}

class Workers : public SandboxTest {};

TEST_F(Workers, PWMWorkerIsReportedAndStopped)
{
    Result r = pinctl({"pwm", "6", "200", "50"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    int worker = recordedPID("/tmp/pin6_pwm_pid");
    EXPECT_TRUE(isRunning(worker));
    EXPECT_EQ(readFile("/tmp/pin6_pwm_pid"), std::to_string(worker) + "\nFrequency:200, Duty:50\n");
    EXPECT_EQ(showPin(6), "pin=6 direction=out level=0 pwm=200/50 irq=off fail=0\n");
    EXPECT_EQ(pinctl({"info", "6"}).out,
              "Pin:6, Direction:OUTPUT, PWM:\n\tProcess Id:" + std::to_string(worker) +
                  "\n\tFrequency:200, Duty:50\n");

    r = pinctl({"pwmstop", "6"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(isRunning(worker));
    EXPECT_FALSE(fileExists("/tmp/pin6_pwm_pid"));
    EXPECT_EQ(showPin(6), "pin=6 direction=out level=0 pwm=off irq=off fail=0\n");
}

TEST_F(Workers, EachStartReplacesThePinsWorkers)
{
    ASSERT_EQ(pinctl({"pwm", "6", "100", "10"}).status, 0);
    int first = recordedPID("/tmp/pin6_pwm_pid");
    ASSERT_EQ(pinctl({"pwm", "6", "300", "30"}).status, 0);
    int second = recordedPID("/tmp/pin6_pwm_pid");
    EXPECT_NE(first, second);
    EXPECT_FALSE(isRunning(first));
    EXPECT_TRUE(isRunning(second));
    EXPECT_EQ(showPin(6), "pin=6 direction=out level=0 pwm=300/30 irq=off fail=0\n");

    // irq over a PWM worker, then pwm over an interrupt worker.
    ASSERT_EQ(pinctl({"irq", "6", "rising", "echo r >>/tmp/o"}).status, 0);
    int irqWorker = recordedPID("/tmp/pin6_irq_pid");
    EXPECT_FALSE(isRunning(second));
    EXPECT_FALSE(fileExists("/tmp/pin6_pwm_pid"));
    EXPECT_EQ(showPin(6), "pin=6 direction=in level=0 pwm=off irq=rising fail=0\n");
    EXPECT_EQ(pinctl({"info", "6"}).out,
              "Pin:6, Direction:INPUT, Value:0 IRQ\n:\tProcess Id:" + std::to_string(irqWorker) +
                  "\n\tType:Rising, Cmd:'echo r >>/tmp/o', Debounce:0\n");

    ASSERT_EQ(pinctl({"pwm", "6", "50", "5"}).status, 0);
    EXPECT_FALSE(isRunning(irqWorker));
    EXPECT_FALSE(fileExists("/tmp/pin6_irq_pid"));
    EXPECT_EQ(showPin(6), "pin=6 direction=out level=0 pwm=50/5 irq=off fail=0\n");
}

TEST_F(Workers, APWMStoppedByTheHardwareEndsItsWorkerAndLeavesTheRecord)
{
    ASSERT_EQ(pinctl({"pwm", "6", "200", "50"}).status, 0);
    int worker = recordedPID("/tmp/pin6_pwm_pid");
    ASSERT_EQ(pinsim({"stop-pwm", "6"}).status, 0);
    EXPECT_EQ(showPin(6), "pin=6 direction=out level=0 pwm=off irq=off fail=0\n");
    EXPECT_TRUE(waitFor([&] { return !isRunning(worker); }, 12000));
    EXPECT_TRUE(fileExists("/tmp/pin6_pwm_pid"));
    EXPECT_EQ(pinctl({"info", "6"}).out, "Pin:6, Direction:OUTPUT\n");
    // The next stop clears the stale record without a signal.
    EXPECT_EQ(pinctl({"pwmstop", "6"}).status, 0);
    EXPECT_FALSE(fileExists("/tmp/pin6_pwm_pid"));
}

TEST_F(Workers, InterruptCommandsRunOncePerMatchingEdge)
{
    ASSERT_EQ(pinctl({"irq", "6", "rising", "echo r >>/tmp/o"}).status, 0);
    drive(6, {1, 0, 1, 0, 0, 1});
    EXPECT_TRUE(waitFor([] { return linesOut() >= 3; }));
    ASSERT_EQ(pinctl({"irqstop", "6"}).status, 0);
    EXPECT_EQ(readFile("/tmp/o"), "r\nr\nr\n");
    EXPECT_FALSE(fileExists("/tmp/pin6_irq_pid"));
    EXPECT_EQ(showPin(6), "pin=6 direction=in level=1 pwm=off irq=off fail=0\n");

    unlink("/tmp/o");
    ASSERT_EQ(pinctl({"irq", "6", "falling", "echo f >>/tmp/o"}).status, 0);
    drive(6, {0, 1, 0, 1});
    EXPECT_TRUE(waitFor([] { return linesOut() >= 2; }));
    ASSERT_EQ(pinctl({"irqstop", "6"}).status, 0);
    EXPECT_EQ(readFile("/tmp/o"), "f\nf\n");

    unlink("/tmp/o");
    ASSERT_EQ(pinctl({"irq", "6", "both", "echo b >>/tmp/o"}).status, 0);
    drive(6, {0, 1, 0, 1, 1});
    EXPECT_TRUE(waitFor([] { return linesOut() >= 4; }));
    ASSERT_EQ(pinctl({"irqstop", "6"}).status, 0);
    EXPECT_EQ(readFile("/tmp/o"), "b\nb\nb\nb\n");
}

TEST_F(Workers, DebugFormAnnouncesEachEdge)
{
    ASSERT_EQ(pinctlTo("/tmp/out", {"irq", "6", "both", "[debug]echo hi"}).status, 0);
    drive(6, {1, 0});
    const std::string expected = "GPIO Irq Debug: Pin=6 Type=Rising\nhi\n"
                                 "GPIO Irq Debug: Pin=6 Type=Falling\nhi\n";
    EXPECT_TRUE(waitFor([&] { return readFile("/tmp/out").size() >= expected.size(); }));
    EXPECT_EQ(readFile("/tmp/out"), expected);

    // Only a prefix at the very start makes the debug form.
    ASSERT_EQ(pinctlTo("/tmp/out2", {"irq", "7", "rising", "echo x[debug]y"}).status, 0);
    drive(7, {1});
    EXPECT_TRUE(waitFor([] { return !readFile("/tmp/out2").empty(); }));
    EXPECT_EQ(readFile("/tmp/out2"), "x[debug]y\n");
}

TEST_F(Workers, DebounceSwallowsShortBursts)
{
    ASSERT_EQ(pinctl({"irq", "6", "both", "echo e >>/tmp/o", "300"}).status, 0);
    drive(6, {1, 0, 1, 0});
    sleepMs(600);
    EXPECT_EQ(linesOut(), 0);
    drive(6, {1});
    EXPECT_TRUE(waitFor([] { return linesOut() >= 1; }));
    sleepMs(400);
    EXPECT_EQ(readFile("/tmp/o"), "e\n");
}

TEST_F(Workers, TheLongestCommandRoundTrips)
{
    std::string cmd = "echo " + std::string(185, 'z') + " >>/tmp/o";
    ASSERT_EQ(cmd.size(), 199u);
    ASSERT_EQ(pinctl({"irq", "6", "rising", cmd, "-5"}).status, 0);
    int worker = recordedPID("/tmp/pin6_irq_pid");
    EXPECT_EQ(pinctl({"info", "6"}).out,
              "Pin:6, Direction:INPUT, Value:0 IRQ\n:\tProcess Id:" + std::to_string(worker) +
                  "\n\tType:Rising, Cmd:'" + cmd + "', Debounce:-5\n");
    drive(6, {1});
    EXPECT_TRUE(waitFor([] { return linesOut() == 1; }));
    EXPECT_EQ(readFile("/tmp/o"), std::string(185, 'z') + "\n");
}

// What a worker runs in: a board folder named relative to where pinctl
// started, a debug prefix with nothing after it, and a command that ends
// its own process group.
TEST_F(Workers, AWorkerKeepsItsBoardAndOutlivesItsCommandsGroups)
{
    ASSERT_EQ(mkdir("/tmp/x", 0755), 0);
    Result r = runCommand(
        {"sh", "-c",
         "cd /tmp/x && export PINSIM_DIR=tmp/board && " + pinctlLine({"pwm", "6", "200", "50"}) +
             " && " + pinctlLine({"irq", "8", "rising", "[debug]"}) + " >/tmp/debug && " +
             pinctlLine({"irq", "7", "both", "trap 'kill 0' EXIT; echo edge >>/tmp/o"}) + " && " +
             pinsimLine({"level", "8", "1"}) + " && " + pinsimLine({"level", "7", "1"}) +
             " && sleep 0.2 && " + pinsimLine({"level", "7", "0"})});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    setenv("PINSIM_DIR", "/tmp/x/tmp/board", 1);
    EXPECT_TRUE(waitFor([] { return linesOut() == 2; }));
    EXPECT_TRUE(
        waitFor([] { return readFile("/tmp/debug") == "GPIO Irq Debug: Pin=8 Type=Rising\n"; }));
    // The PWM worker has checked its PWM, in the board it started on.
    EXPECT_TRUE(isRunning(recordedPID("/tmp/pin6_pwm_pid")));
    EXPECT_NE(pinctl({"info", "7"}).out.find(" IRQ\n"), std::string::npos);
    EXPECT_FALSE(fileExists("/tmp/board"));
    unsetenv("PINSIM_DIR");
}

TEST_F(Workers, AStartReturnsOnlyOnceItsWorkerIsSetUp)
{
    for (int i = 0; i < 10; i++) {
        ASSERT_EQ(pinctl({"pwm", "6", "200", std::to_string(i)}).status, 0);
        EXPECT_EQ(showPin(6),
                  "pin=6 direction=out level=0 pwm=200/" + std::to_string(i) + " irq=off fail=0\n");
    }
    unlink("/tmp/o");
    ASSERT_EQ(pinctl({"irq", "7", "rising", "echo r >>/tmp/o"}).status, 0);
    drive(7, {1});
    EXPECT_TRUE(waitFor([] { return linesOut() == 1; }));
}

TEST_F(Workers, APlainCommandRunsAsTheShellWouldRunIt)
{
    // A program by its path with plain words; a missing one, reported by
    // the shell; a script with no #! line, which only a shell runs.
    writeFile("/tmp/script", "echo script ran\n");
    ASSERT_EQ(chmod("/tmp/script", 0755), 0);
    ASSERT_EQ(pinctlTo("/tmp/out6", {"irq", "6", "rising", " /bin/echo a  b,c=d:%@+-_. "}).status,
              0);
    ASSERT_EQ(pinctlTo("/tmp/out7", {"irq", "7", "rising", "/nonexistent/program x"}).status, 0);
    ASSERT_EQ(pinctlTo("/tmp/out8", {"irq", "8", "rising", "/tmp/script"}).status, 0);
    drive(6, {1});
    drive(7, {1});
    drive(8, {1});
    EXPECT_TRUE(waitFor([] {
        return !readFile("/tmp/out6").empty() && !readFile("/tmp/out7").empty() &&
               !readFile("/tmp/out8").empty();
    }));
    EXPECT_EQ(readFile("/tmp/out6"), "a b,c=d:%@+-_.\n");
    EXPECT_NE(readFile("/tmp/out7").find("/nonexistent/program: not found"), std::string::npos)
        << readFile("/tmp/out7");
    EXPECT_EQ(readFile("/tmp/out8"), "script ran\n");
}

TEST_F(Workers, OutputOfACommandSubstitutionIsNotHeldByThePWMWorker)
{
    Result r = pinctlInShell("out=$(", {"pwm", "6", "200", "50"}, "); echo \"[$out]\"", 3000);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.out, "[]\n");
    EXPECT_TRUE(isRunning(recordedPID("/tmp/pin6_pwm_pid")));
}

TEST_F(Workers, InterruptCommandsReadFromDevNull)
{
    int in[2];
    ASSERT_EQ(pipe(in), 0);
    fcntl(in[1], F_SETFD, FD_CLOEXEC);
    // Were the caller's input passed on, cat would wait on it for ever.
    ASSERT_EQ(pinctlTo("/tmp/out", {"irq", "6", "rising", "cat; echo done >>/tmp/o"}, in[0]).status,
              0);
    close(in[0]);
    drive(6, {1});
    EXPECT_TRUE(waitFor([] { return linesOut() == 1; }, 3000));
    close(in[1]);
}

TEST_F(Workers, NoRecordNoWorker)
{
    // The board lives on a mount of its own that stays writable.
    ASSERT_EQ(mkdir("/tmp/board", 0755), 0);
    ASSERT_EQ(mount("tmpfs", "/tmp/board", "tmpfs", 0, "size=4m"), 0);
    setenv("PINSIM_DIR", "/tmp/board", 1);
    ASSERT_EQ(mount("none", "/tmp", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);

    Result r = pinctl({"pwm", "6", "200", "50"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "**ERROR starting PWM on pin:6, locking pin failed err=30\n");
    r = pinctl({"irq", "6", "both", "true"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "**ERROR starting IRQ on pin:6, locking pin failed err=30\n");
    EXPECT_EQ(showPin(6), "pin=6 direction=in level=0 pwm=off irq=off fail=0\n");
    unsetenv("PINSIM_DIR");
}

TEST_F(Workers, AFailedForkIsAFailure)
{
    // A user allowed one process cannot fork a second. The limit counts
    // every process of the user on the machine: the user is one that no
    // other test runs as.
    ASSERT_EQ(mkdir("/tmp/pinsim", 0777), 0);
    ASSERT_EQ(chmod("/tmp/pinsim", 0777), 0);
    for (const char* op : {"pwm", "irq"}) {
        std::vector<std::string> args = {op, "6"};
        if (std::string(op) == "pwm")
            args.insert(args.end(), {"200", "50"});
        else
            args.insert(args.end(), {"both", "true"});
        // Under an emulator (qemu-user) the process also holds the
        // emulator's own thread, which counts against the limit too.
        const bool emulated = pinctlArgv({}).size() > 1;
        std::vector<std::string> argv = {"prlimit",       emulated ? "--nproc=2" : "--nproc=1",
                                         "setpriv",       "--reuid=65533",
                                         "--regid=65533", "--clear-groups"};
        // Under AddressSanitizer: its leak check needs a thread of its own at
        // exit, which a process allowed no second one cannot start.
        if (const char* asan = getenv("ASAN_OPTIONS"))
            argv.insert(argv.begin(),
                        {"env", std::string("ASAN_OPTIONS=") + asan + ":detect_leaks=0"});
        for (const std::string& w : pinctlArgv(args))
            argv.push_back(w);
        Result r = runCommand(argv);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, std::string("**ERROR starting ") + (args[0] == "pwm" ? "PWM" : "IRQ") +
                             " on pin:6, fork failed err=11\n");
        EXPECT_FALSE(fileExists("/tmp/pin6_pwm_pid"));
        EXPECT_FALSE(fileExists("/tmp/pin6_irq_pid"));
    }
}

}  // namespace
