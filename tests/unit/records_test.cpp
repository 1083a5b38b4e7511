// Worker records: what is written, what reads back, and which processes a
// stop may touch.
#include "run.h"
#include "sandbox.h"
#include "workers/worker.h"
#include "workers/workers.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class Records : public SandboxTest {};

// Starts a worker that only goes live, through the real start, with the
// record written by note; the worker's id.
int startIdleWorker(const WorkerKind& kind, int pin,
                    const std::function<int(int, RecordDraft&)>& note)
{
    int status = startWorker({kind, pin, [] { return 0; },
                              [] {
                                  for (;;)
                                      pause();
                              },
                              note});
    EXPECT_EQ(status, 0);
    return recordedPID(recordPath(kind, pin));
}

int startIdlePWM(int pin, int freq, int duty)
{
    return startIdleWorker(PWM_WORKER, pin, [=](int pid, RecordDraft& draft) {
        return noteChildPIDPWM(pin, pid, freq, duty, draft);
    });
}

TEST_F(Records, PWMRecordRoundTrips)
{
    int pid = startIdlePWM(6, 200, 50);
    EXPECT_EQ(readFile("/tmp/pin6_pwm_pid"), std::to_string(pid) + "\nFrequency:200, Duty:50\n");

    std::string summary;
    ASSERT_TRUE(getPWMInf(6, summary));
    EXPECT_EQ(summary, "\tProcess Id:" + std::to_string(pid) + "\n\tFrequency:200, Duty:50");
    EXPECT_FALSE(getIRQInf(6, summary));
    EXPECT_FALSE(getPWMInf(7, summary));
}

// The longest command, and one with a newline of its own, read back whole.
TEST_F(Records, IRQRecordHoldsTheCommandWhole)
{
    const std::string cmds[] = {"echo '" + std::string(183, 'x') + "' >>/tmp/o", "echo a\necho b"};
    ASSERT_EQ(cmds[0].size(), 199u);
    for (const std::string& cmd : cmds) {
        int pid = startIdleWorker(IRQ_WORKER, 13, [&](int p, RecordDraft& draft) {
            return noteChildPIDIRQ(13, p, GPIO_IRQ_FALLING, cmd.c_str(), -2147483647 - 1, draft);
        });
        std::string params = "Type:Falling, Cmd:'" + cmd + "', Debounce:-2147483648";
        EXPECT_EQ(readFile("/tmp/pin13_irq_pid"), std::to_string(pid) + "\n" + params + "\n");
        std::string summary;
        ASSERT_TRUE(getIRQInf(13, summary));
        EXPECT_EQ(summary, "\tProcess Id:" + std::to_string(pid) + "\n\t" + params);
    }
}

TEST_F(Records, TypeWords)
{
    const std::pair<GPIO_Irq_Type, const char*> words[] = {
        {GPIO_IRQ_RISING, "Rising"}, {GPIO_IRQ_FALLING, "Falling"}, {GPIO_IRQ_BOTH, "Both"}};
    for (const auto& w : words) {
        RecordDraft draft;
        ASSERT_EQ(createRecordDraft(PinFiles(7).draft(IRQ_WORKER), draft), 0);
        ASSERT_EQ(noteChildPIDIRQ(7, 42, w.first, "cmd", 5, draft), 0);
        close(draft.fd);
        EXPECT_EQ(readFile("/tmp/pin7_irq_pid"),
                  std::string("42\nType:") + w.second + ", Cmd:'cmd', Debounce:5\n");
    }
}

TEST_F(Records, StopEndsTheWorkerAndRemovesTheRecord)
{
    int pid = startIdleWorker(IRQ_WORKER, 6, [](int p, RecordDraft& draft) {
        return noteChildPIDIRQ(6, p, GPIO_IRQ_BOTH, "true", 0, draft);
    });
    EXPECT_EQ(stopPWM(6), 0);
    EXPECT_TRUE(isRunning(pid)) << "a PWM stop touched the interrupt worker";
    EXPECT_EQ(stopIRQ(6), 0);
    EXPECT_FALSE(fileExists("/tmp/pin6_irq_pid"));
    // The stop returns once the worker has ended.
    EXPECT_FALSE(isRunning(pid));
}

TEST_F(Records, ARecordNamingAProcessThatIsNoWorkerIsStale)
{
    int other = startProcess({"sleep", "30"});
    ASSERT_GT(other, 0);
    for (const char* path : {"/tmp/pin6_pwm_pid", "/tmp/pin6_irq_pid"})
        writeFile(path, std::to_string(other) + "\nFrequency:1, Duty:1\n");

    std::string summary;
    EXPECT_FALSE(getPWMInf(6, summary));
    EXPECT_FALSE(getIRQInf(6, summary));
    stopPWM(6);
    stopIRQ(6);
    EXPECT_FALSE(fileExists("/tmp/pin6_pwm_pid"));
    EXPECT_FALSE(fileExists("/tmp/pin6_irq_pid"));
    EXPECT_TRUE(isRunning(other));
}

TEST_F(Records, AWorkerThatHasEndedIsStaleEvenAsAZombie)
{
    int pid = startIdlePWM(8, 10, 10);
    kill(pid, SIGKILL);
    // Not reaped: the process stays a zombie and kill(pid, 0) still works.
    siginfo_t info;
    ASSERT_EQ(waitid(P_PID, pid, &info, WEXITED | WNOWAIT), 0);
    ASSERT_EQ(kill(pid, 0), 0);

    std::string summary;
    EXPECT_FALSE(getPWMInf(8, summary));
    EXPECT_EQ(stopPWM(8), 0);
    EXPECT_FALSE(fileExists("/tmp/pin8_pwm_pid"));
}

TEST_F(Records, IdsThatNameNoProcessAreNeverSignalled)
{
    // As root, kill(0), kill(-1) or kill of our own group would hit the
    // test itself: surviving these stops is the test.
    const std::string firstLines[] = {
        "", "0", "-1", std::to_string(-getpgrp()), "abc", "99999999999", std::to_string(getpid())};
    for (const std::string& first : firstLines) {
        writeFile("/tmp/pin12_pwm_pid", first + "\nFrequency:1, Duty:1\n");
        std::string summary;
        EXPECT_FALSE(getPWMInf(12, summary)) << first;
        stopPWM(12);
        EXPECT_FALSE(fileExists("/tmp/pin12_pwm_pid")) << first;
    }
}

TEST_F(Records, PlantedLinksAndFIFOsAreReplacedNeverFollowed)
{
    writeFile("/tmp/target", "keep\n");
    ASSERT_EQ(symlink("/tmp/target", "/tmp/pin14_pwm_pid"), 0);
    ASSERT_EQ(symlink("/tmp/target", "/tmp/.pin14_pwm_pid.draft"), 0);
    RecordDraft draft;
    ASSERT_EQ(createRecordDraft(PinFiles(14).draft(PWM_WORKER), draft), 0);
    ASSERT_EQ(noteChildPIDPWM(14, 42, 1, 2, draft), 0);
    close(draft.fd);
    EXPECT_EQ(readFile("/tmp/target"), "keep\n");
    EXPECT_EQ(readFile("/tmp/pin14_pwm_pid"), "42\nFrequency:1, Duty:2\n");

    ASSERT_EQ(symlink("/tmp/target", "/tmp/pin15_pwm_pid"), 0);
    stopPWM(15);
    EXPECT_FALSE(fileExists("/tmp/pin15_pwm_pid"));
    EXPECT_EQ(readFile("/tmp/target"), "keep\n");

    // A FIFO with no writer would block a plain open or read for ever.
    ASSERT_EQ(mkfifo("/tmp/pin16_irq_pid", 0644), 0);
    std::string summary;
    EXPECT_FALSE(getIRQInf(16, summary));
    stopIRQ(16);
    EXPECT_FALSE(fileExists("/tmp/pin16_irq_pid"));
}

TEST_F(Records, NoDraftOnAReadOnlyTmp)
{
    ASSERT_EQ(mount("none", "/tmp", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    RecordDraft draft;
    EXPECT_EQ(createRecordDraft(PinFiles(6).draft(PWM_WORKER), draft), EROFS);
}

// A worker that is not set up within the bound is ended: the start fails
// and leaves no worker, record or draft behind.
TEST_F(Records, AStartGivesUpOnAWorkerThatIsNeverReadyButNotOnOneItNamed)
{
    testing::internal::CaptureStdout();
    int status = startWorker(
        {PWM_WORKER, 6,
         []() -> int {
             for (;;)
                 pause();
         },
         [] {}, [](int pid, RecordDraft& draft) { return noteChildPIDPWM(6, pid, 1, 1, draft); }},
        300);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "**ERROR starting PWM on pin:6, worker setup failed err=" +
                  std::to_string(ETIMEDOUT) + "\n");
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(childProcesses().empty());
    EXPECT_FALSE(fileExists("/tmp/pin6_pwm_pid"));
    EXPECT_FALSE(fileExists("/tmp/.pin6_pwm_pid.draft"));

    // A start killed once it has named the record (its terminal hung up)
    // leaves the worker it names, live and within reach of a stop.
    EXPECT_EQ(runInChild([] {
                  startWorker({PWM_WORKER, 7, [] { return 0; },
                               [] {
                                   writeFile("/tmp/live7", "");
                                   for (;;)
                                       pause();
                               },
                               [](int pid, RecordDraft& draft) {
                                   int err = noteChildPIDPWM(7, pid, 1, 1, draft);
                                   if (err == 0)
                                       raise(SIGKILL);
                                   return err;
                               }});
                  return 0;
              }),
              128 + SIGKILL);
    EXPECT_TRUE(waitFor([] { return fileExists("/tmp/live7"); }));
    EXPECT_EQ(stopPWM(7), 0);
    EXPECT_FALSE(fileExists("/tmp/pin7_pwm_pid"));
}

// An edge that comes before the worker is live runs its command only once
// the worker is live: never, when the start fails to name the record.
TEST_F(Records, NoCommandRunsBeforeItsWorkerIsLive)
{
    if (std::string(PINSIM_BIN).empty())
        GTEST_SKIP() << "no pinsim to drive the edges in this build";
    for (bool named : {false, true}) {
        testing::internal::CaptureStdout();
        int status = startWorker(
            {IRQ_WORKER, 8,
             [named] {
                 auto* handler = new GPIO_Irq_Command_Handler_Object;
                 snprintf(handler->command, sizeof handler->command, "touch /tmp/ran");
                 GPIOPin* gpio = new GPIOPin(8);
                 gpio->setIrq(GPIO_IRQ_BOTH, handler, 0);
                 // 1 then 0: an edge each time.
                 pinsim({"level", "8", named ? "0" : "1"});
                 sleepMs(200);
                 return 0;
             },
             [] {
                 for (;;)
                     pause();
             },
             [named](int pid, RecordDraft& draft) {
                 return named ? noteChildPIDIRQ(8, pid, GPIO_IRQ_BOTH, "x", 0, draft) : EIO;
             }});
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(status, named ? 0 : 1);
        sleepMs(300);
        EXPECT_EQ(waitFor([] { return fileExists("/tmp/ran"); }, 1000), named);
    }
}

}  // namespace
