// bench_syscalls COMMAND [ARG...]: the number of system calls COMMAND makes,
// from its execve on, with those of the processes and threads it starts
// while it runs, counted as strace -f -c counts them (calls that return:
// exit_group is not one) but needing no strace for the processor at hand.
// COMMAND's output goes to /dev/null; one line goes to standard output:
// the count. The count ends when COMMAND ends: what it leaves running (a
// daemon) is let go. Exits 1 if COMMAND could not be traced or did not
// exit with a status.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: bench_syscalls COMMAND [ARG...]\n");
        return 2;
    }
    pid_t child = fork();
    if (child < 0) {
        perror("bench_syscalls: fork");
        return 1;
    }
    if (child == 0) {
        int quiet = open("/dev/null", O_RDWR);
        if (quiet >= 0) {
            dup2(quiet, STDIN_FILENO);
            dup2(quiet, STDOUT_FILENO);
            dup2(quiet, STDERR_FILENO);
        }
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        raise(SIGSTOP);
        execv(argv[1], argv + 1);
        _exit(127);
    }

    int status;
    if (waitpid(child, &status, 0) != child || !WIFSTOPPED(status)) {
        fprintf(stderr, "bench_syscalls: %s did not stop to be traced\n", argv[1]);
        return 1;
    }
    long options = PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEEXEC | PTRACE_O_TRACEFORK |
                   PTRACE_O_TRACEVFORK | PTRACE_O_TRACECLONE;
    ptrace(PTRACE_SETOPTIONS, child, nullptr, (void*)options);
    ptrace(PTRACE_SYSCALL, child, nullptr, nullptr);

    // Every traced thread stops on entering and on leaving each call; a
    // call counts on leaving. The calls of the child before its execve
    // (the end of raise) are not COMMAND's.
    std::map<pid_t, bool> inCall;
    bool execed = false;
    long calls = 0;
    for (;;) {
        pid_t tid = waitpid(-1, &status, __WALL);
        if (tid < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            inCall.erase(tid);
            if (tid == child) {
                if (!WIFEXITED(status) || !execed)
                    return 1;
                printf("%ld\n", calls);
                return 0;
            }
            continue;
        }
        if (!WIFSTOPPED(status))
            continue;
        int sig = WSTOPSIG(status);
        int event = status >> 16;
        int pass = 0;
        if (sig == (SIGTRAP | 0x80)) {
            bool& in = inCall[tid];
            in = !in;
            if (!in && execed)
                calls++;
        } else if (sig == SIGTRAP && event == PTRACE_EVENT_EXEC) {
            // The execve that began COMMAND counts: it leaves after this.
            if (tid == child)
                execed = true;
        } else if (sig == SIGTRAP && event != 0) {
            // A fork, vfork or clone: the new thread is traced already.
        } else if (sig == SIGSTOP && !inCall.count(tid)) {
            // A new thread's first stop.
            inCall[tid] = false;
        } else {
            pass = sig;
        }
        ptrace(PTRACE_SYSCALL, tid, nullptr, (void*)(long)pass);
    }
    fprintf(stderr, "bench_syscalls: lost %s\n", argv[1]);
    return 1;
}
