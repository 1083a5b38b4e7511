// The test main. As root, the tests run as the first process of a PID
// namespace of their own: every process they start, and every orphan of
// those (workers outlive the invocations that fork them), is theirs to find
// and reap, and whatever is left ends with them. Elsewhere they still adopt
// orphans as a subreaper, where the system allows it.
#include <gtest/gtest.h>

#include <csignal>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

// Returns in the process that is to run the tests; the process that made
// the namespace waits for it and exits with its status.
static void enterOwnPIDNamespace()
{
    if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0)
        return;
    pid_t tests = fork();
    if (tests == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // A /proc of the namespace, so process ids read there are ours.
        if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("proc", "/proc", "proc", 0, nullptr) != 0)
            _exit(125);
        return;
    }
    if (tests < 0)
        return;
    int status;
    if (waitpid(tests, &status, 0) < 0)
        _exit(125);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

int main(int argc, char** argv)
{
    enterOwnPIDNamespace();
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
