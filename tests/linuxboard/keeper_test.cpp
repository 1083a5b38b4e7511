// The keeper without a kernel's GPIO: it holds any descriptor the same
// way, and switches off whatever "enable" file it is given.
#include "hardpwm.h"
#include "protocol.h"
#include "run.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace linuxboard;

namespace {

std::vector<int> keepers()
{
    std::vector<int> found;
    DIR* proc = opendir("/proc");
    while (struct dirent* e = readdir(proc)) {
        int pid = atoi(e->d_name);
        if (pid > 0 && isRunning(pid) &&
            readFile("/proc/" + std::to_string(pid) + "/comm") == "varnel-keeper\n")
            found.push_back(pid);
    }
    closedir(proc);
    return found;
}

int onlyKeeper()
{
    std::vector<int> found;
    waitFor([&] { return (found = keepers()).size() == 1; }, 2000);
    return found.size() == 1 ? found[0] : -1;
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

// What each descriptor of pid is: "/dev/null", "socket:[...]" and so on.
std::vector<std::string> descriptors(int pid)
{
    std::vector<std::string> fds;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
    DIR* d = opendir(dir.c_str());
    while (struct dirent* e = readdir(d)) {
        char target[256] = "";
        if (e->d_name[0] != '.' &&
            readlink((dir + e->d_name).c_str(), target, sizeof target - 1) > 0)
            fds.push_back(target);
    }
    closedir(d);
    return fds;
}

Request lineRequest(KeeperOp op, uint32_t line)
{
    Request req;
    req.op = op;
    req.chip = 4000;
    req.index = line;
    return req;
}

class Keeper : public SandboxTest {};

TEST_F(Keeper, HoldsLentLinesAloneDetachedAndEndsWithThem)
{
    // Whatever the caller ignores, blocks or has open, the keeper does not.
    signal(SIGTERM, SIG_IGN);
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_BLOCK, &usr1, nullptr);
    mode_t mask = umask(0277);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    int line1 = memfd_create("line1", 0);
    int line2 = memfd_create("line2", 0);
    Deadline d(WAIT_BUDGET_MS);
    int conn1 = -1, conn2 = -1;
    ASSERT_EQ(handToKeeper(lineRequest(LEND, 1), line1, &conn1, d), 0);
    ASSERT_EQ(handToKeeper(lineRequest(LEND, 2), line2, &conn2, d), 0);
    umask(mask);
    signal(SIGTERM, SIG_DFL);
    sigprocmask(SIG_UNBLOCK, &usr1, nullptr);
    close(pipeFds[1]);
    char byte;
    EXPECT_EQ(read(pipeFds[0], &byte, 1), 0) << "the keeper kept the caller's pipe";
    close(pipeFds[0]);

    int pid = onlyKeeper();
    ASSERT_GT(pid, 0);
    EXPECT_NE(getsid(pid), getsid(0));
    EXPECT_EQ(statusField(pid, "SigIgn"), "0000000000000000");
    EXPECT_EQ(statusField(pid, "SigBlk"), "0000000000000000");
    // 3 x /dev/null, 2 lines and their connections, lock, socket, inotify;
    // a client's connection may still be closing.
    std::vector<std::string> fds;
    EXPECT_TRUE(waitFor([&] { return (fds = descriptors(pid)).size() == 10; }, 2000));
    EXPECT_EQ(std::count(fds.begin(), fds.end(), "/dev/null"), 3);
    EXPECT_EQ(std::count_if(fds.begin(), fds.end(),
                            [](const std::string& f) { return f.find("/memfd:line") == 0; }),
              2);
    struct stat st;
    ASSERT_EQ(stat("/run/varnel", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat("/run/varnel/keeper2.lock", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Another user can neither reach it nor plant a keeper of its own there.
    EXPECT_EQ(runInChild([] {
                  sockaddr_un addr = {AF_UNIX, "/run/varnel/keeper2"};
                  int s = socket(AF_UNIX, SOCK_DGRAM, 0);
                  return becomeUser(OTHER_USER) &&
                                 connect(s, (const sockaddr*)&addr, sizeof addr) != 0 &&
                                 errno == EACCES
                             ? 0
                             : 1;
              }),
              0);

    // A lent line stays its worker's; a line it never had is no one's.
    int taken = -1;
    Reply reply;
    ASSERT_EQ(askKeeper(lineRequest(TAKE, 1), -1, reply, &taken, d), 0);
    EXPECT_EQ(reply.err, EBUSY);
    EXPECT_EQ(taken, -1);
    ASSERT_EQ(askKeeper(lineRequest(RELEASE, 3), -1, reply, nullptr, d), 0);
    EXPECT_EQ(reply.err, ESRCH);
    close(conn1);
    close(conn2);
    EXPECT_TRUE(waitFor([&] { return !isRunning(pid); }, 2000)) << "the keeper outlived its items";
    EXPECT_FALSE(fileExists("/run/varnel/keeper2"));
    EXPECT_EQ(askKeeper(lineRequest(READ, 2), -1, reply, nullptr, d), ESRCH);
    close(line1);
    close(line2);

    // Nothing to receive: no descriptor is handed back, none to close.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, pair), 0);
    int handed[2] = {0, 1};
    EXPECT_EQ(receivePacket(pair[0], &reply, sizeof reply, handed, nullptr), EAGAIN);
    EXPECT_EQ(handed[0], -1);
    EXPECT_EQ(handed[1], -1);
    close(pair[0]);
    close(pair[1]);
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
            int err = startHardPWM(root.c_str(), 0, 1, 1000, 25, pwm, Deadline(WAIT_BUDGET_MS));
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

TEST_F(HardPWMWatch, OffWhenItsStarterEndsEvenAfterTheKeeperWasKilledButNotByAnOldWatch)
{
    int first = startIn();
    EXPECT_EQ(attr("period"), "1000000");
    EXPECT_EQ(attr("duty_cycle"), "250000");
    EXPECT_EQ(attr("enable"), "1");

    // A second start takes the channel over: the first starter's end no
    // longer switches it off.
    int second = startIn();
    kill(first, SIGKILL);
    waitpid(first, nullptr, 0);
    usleep(200000);
    EXPECT_EQ(attr("enable"), "1");

    // The keeper killed, the worker registers its channel with a new one.
    int keeper = onlyKeeper();
    ASSERT_GT(keeper, 0);
    kill(keeper, SIGKILL);
    EXPECT_TRUE(waitFor(
        [&] {
            std::vector<int> now = keepers();
            return now.size() == 1 && now[0] != keeper;
        },
        3000));
    EXPECT_EQ(attr("enable"), "1");
    kill(second, SIGKILL);
    waitpid(second, nullptr, 0);
    EXPECT_TRUE(waitFor([&] { return attr("enable") == "0"; }, 2000));
    EXPECT_TRUE(waitFor([&] { return keepers().empty(); }, 2000));
}

}  // namespace
