// Holders and PWM watchers without a kernel's GPIO: a holder holds any
// descriptor the same way, and a watcher switches off whatever "enable"
// file it is given.
#include "hardpwm.h"
#include "holder.h"
#include "owners.h"
#include "run.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace linuxboard;

namespace {

// The processes named comm, as /proc shows them.
std::vector<int> processesNamed(const std::string& comm)
{
    std::vector<int> found;
    DIR* proc = opendir("/proc");
    while (struct dirent* e = readdir(proc)) {
        int pid = atoi(e->d_name);
        if (pid > 0 && isRunning(pid) &&
            readFile("/proc/" + std::to_string(pid) + "/comm") == comm + "\n")
            found.push_back(pid);
    }
    closedir(proc);
    return found;
}

std::string statusField(int pid, const std::string& field)
{
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return line.substr(line.find_first_not_of(" \t", field.size() + 1));
    }
    return "";
}

ino_t inode(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? st.st_ino : 0;
}

// A site no real chip has, different in each test.
LineSite fakeSite(unsigned line)
{
    LineSite site;
    site.chipDev = makedev(4000, (unsigned)getpid() % 1000);
    site.line = line;
    return site;
}

class Holder : public SandboxTest {};

TEST_F(Holder, IsDetachedHoldsOnlyTheLineAndHandsItOver)
{
    // Whatever the caller ignores, blocks or has open, the holder does not.
    signal(SIGTERM, SIG_IGN);
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_BLOCK, &usr1, nullptr);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    LineSite site = fakeSite(3);
    int line = memfd_create("line", 0);
    int link = -1;
    ASSERT_EQ(startHolder(site, line, link), 0);
    signal(SIGTERM, SIG_DFL);
    sigprocmask(SIG_UNBLOCK, &usr1, nullptr);
    close(pipeFds[1]);
    // No copy of the pipe's writing end is left anywhere.
    char byte;
    EXPECT_EQ(read(pipeFds[0], &byte, 1), 0);
    close(pipeFds[0]);

    // Named as it starts, just after the call returns.
    std::vector<int> holders;
    waitFor([&] { return (holders = processesNamed("varnel-hold")).size() == 1; }, 2000);
    ASSERT_EQ(holders.size(), 1u);
    int pid = holders[0];
    std::string fdDir = "/proc/" + std::to_string(pid) + "/fd/";
    std::vector<std::string> fds;
    DIR* dir = opendir(fdDir.c_str());
    while (struct dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.')
            fds.push_back(e->d_name);
    }
    closedir(dir);
    EXPECT_EQ(fds.size(), 6u);
    for (const char* std : {"0", "1", "2"}) {
        char target[64] = "";
        EXPECT_GT(readlink((fdDir + std).c_str(), target, sizeof target - 1), 0);
        EXPECT_STREQ(target, "/dev/null");
    }
    EXPECT_NE(getsid(pid), getsid(0));
    EXPECT_NE(getsid(pid), pid);
    EXPECT_EQ(statusField(pid, "SigIgn"), "0000000000000000");
    EXPECT_EQ(statusField(pid, "SigBlk"), "0000000000000000");

    // A second owner of the same line cannot start.
    int second = -1;
    EXPECT_EQ(startHolder(site, line, second), EADDRINUSE);

    // It answers once its starter lets it.
    close(link);
    int shared = -1;
    ASSERT_EQ(shareLine(site, shared), 0);
    EXPECT_EQ(inode(shared), inode(line));
    EXPECT_TRUE(isRunning(pid));
    close(shared);

    int taken = -1;
    ASSERT_EQ(takeLine(site, taken), 0);
    EXPECT_EQ(inode(taken), inode(line));
    EXPECT_TRUE(waitFor([&] { return !isRunning(pid); }, 2000));
    EXPECT_EQ(takeLine(site, taken), ESRCH);
    close(taken);
    close(line);
}

TEST_F(Holder, AnotherUserCanNeitherTakeNorPlant)
{
    LineSite site = fakeSite(4);
    int line = memfd_create("line", 0);
    int link = -1;
    ASSERT_EQ(startHolder(site, line, link), 0);
    close(link);
    EXPECT_EQ(runInChild([&] {
                  int fd = -1;
                  return becomeUser(OTHER_USER) && takeLine(site, fd) == ESRCH &&
                                 shareLine(site, fd) == ESRCH
                             ? 0
                             : 1;
              }),
              0);
    EXPECT_EQ(processesNamed("varnel-hold").size(), 1u);
    int fd = -1;
    ASSERT_EQ(takeLine(site, fd), 0);
    close(fd);

    // A name another user listens under holds nothing for us.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t squatter = fork();
    if (squatter == 0) {
        close(ready[0]);
        if (!becomeUser(OTHER_USER))
            _exit(1);
        int listenFd = -1;
        if (listenAt(lineOwnerName(site), listenFd) != 0)
            _exit(1);
        (void)!write(ready[1], "", 1);
        for (;;) {
            char ask;
            int conn = acceptRequest(listenFd, ask);
            if (conn >= 0)
                sendReply(conn, REPLY_FD, 1);
        }
    }
    close(ready[1]);
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    EXPECT_EQ(shareLine(site, fd), ESRCH);
    EXPECT_EQ(startHolder(site, line, link), EADDRINUSE);
    close(line);
}

TEST_F(Holder, ItsStarterEndsItAndTheNameIsFreeAtOnce)
{
    LineSite site = fakeSite(5);
    int line = memfd_create("line", 0);
    int link = -1;
    ASSERT_EQ(startHolder(site, line, link), 0);
    endHolder(link);
    EXPECT_TRUE(waitFor([] { return processesNamed("varnel-hold").empty(); }, 2000));
    ASSERT_EQ(startHolder(site, line, link), 0);
    close(link);
    int fd = -1;
    ASSERT_EQ(takeLine(site, fd), 0);
    EXPECT_EQ(inode(fd), inode(line));
    close(fd);
    close(line);
}

class HardPWMWatch : public SandboxTest {
protected:
    const std::string root = "/tmp/pwm";
    const std::string channel = root + "/pwmchip0/pwm1";

    void SetUp() override
    {
        SandboxTest::SetUp();
        if (IsSkipped())
            return;
        ASSERT_EQ(system(("mkdir -p " + channel + " && cd " + channel +
                          " && echo 0 >period && echo 0 >duty_cycle && echo 0 >enable")
                             .c_str()),
                  0);
    }

    std::string attr(const std::string& name) { return readFile(channel + "/" + name); }

    // A process that starts the PWM and then only sleeps; its id once started.
    int startIn()
    {
        int result[2];
        EXPECT_EQ(pipe(result), 0);
        pid_t pid = fork();
        if (pid == 0) {
            HardPWM pwm;
            int err = startHardPWM(root.c_str(), 0, 1, 1000, 25, pwm);
            (void)!write(result[1], &err, sizeof err);
            for (;;)
                pause();
        }
        int err = -1;
        close(result[1]);
        EXPECT_EQ(read(result[0], &err, sizeof err), (ssize_t)sizeof err);
        close(result[0]);
        EXPECT_EQ(err, 0);
        return pid;
    }
};

TEST_F(HardPWMWatch, ChannelIsSwitchedOffWhenItsStarterEndsAndNotByAnOldWatcher)
{
    int first = startIn();
    EXPECT_EQ(attr("period"), "1000000");
    EXPECT_EQ(attr("duty_cycle"), "250000");
    EXPECT_EQ(attr("enable"), "1");

    // A second start takes the channel over: the first starter's end no
    // longer switches it off.
    int second = startIn();
    EXPECT_TRUE(waitFor([&] { return processesNamed("varnel-pwmwatch").size() == 1; }, 2000));
    kill(first, SIGKILL);
    waitpid(first, nullptr, 0);
    usleep(200000);
    EXPECT_EQ(attr("enable"), "1");

    kill(second, SIGKILL);
    waitpid(second, nullptr, 0);
    EXPECT_TRUE(waitFor([&] { return attr("enable") == "0"; }, 2000));
    EXPECT_TRUE(waitFor([&] { return processesNamed("varnel-pwmwatch").empty(); }, 2000));
}

}  // namespace
