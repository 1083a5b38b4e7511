#include "run.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef PINCTL_BIN
#error "PINCTL_BIN must name the built pinctl"
#endif
#ifndef PINSIM_BIN
#error "PINSIM_BIN must name the built pinsim"
#endif

void sleepMs(int ms)
{
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}

// Programs built for another processor run through the emulator that
// PINCTL_TEST_LAUNCHER names (words separated by blanks).
static std::vector<std::string> launcher()
{
    std::vector<std::string> words;
    if (const char* l = getenv("PINCTL_TEST_LAUNCHER")) {
        std::istringstream in(l);
        std::string w;
        while (in >> w)
            words.push_back(w);
    }
    return words;
}

static std::vector<std::string> withLauncher(const char* bin, const std::vector<std::string>& args)
{
    std::vector<std::string> argv = launcher();
    argv.push_back(bin);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

static int spawn(const std::vector<std::string>& argv, int out, int err, int in = -1)
{
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in >= 0 ? in : open("/dev/null", O_RDONLY), 0);
        if (out >= 0)
            dup2(out, 1);
        if (err >= 0)
            dup2(err, 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// Output goes to a file in memory: /tmp may be read-only in a test.
static int makeOutputFile()
{
    return memfd_create("output", MFD_CLOEXEC);
}

static std::string readOutput(int fd)
{
    std::string text;
    char buf[4096];
    ssize_t n;
    for (off_t at = 0; (n = pread(fd, buf, sizeof buf, at)) > 0; at += n)
        text.append(buf, (size_t)n);
    close(fd);
    return text;
}

static int waitWithin(int pid, int timeoutMs, bool& timedOut)
{
    if (pid <= 0)
        return -1;
    int status = 0;
    for (int waited = 0;; waited++) {
        int r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            break;
        if (r < 0 && errno != EINTR)
            return -1;
        if (waited >= timeoutMs) {
            timedOut = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        sleepMs(1);
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

Result runCommand(const std::vector<std::string>& argv, int timeoutMs)
{
    Result res;
    int out = makeOutputFile();
    int err = makeOutputFile();
    int pid = spawn(argv, out, err);
    res.status = waitWithin(pid, timeoutMs, res.timedOut);
    res.out = readOutput(out);
    res.err = readOutput(err);
    return res;
}

Result pinctl(const std::vector<std::string>& args, int timeoutMs)
{
    return runCommand(withLauncher(PINCTL_BIN, args), timeoutMs);
}

Result pinsim(const std::vector<std::string>& args, int timeoutMs)
{
    return runCommand(withLauncher(PINSIM_BIN, args), timeoutMs);
}

std::vector<std::string> pinctlArgv(const std::vector<std::string>& args)
{
    return withLauncher(PINCTL_BIN, args);
}

Result pinctlTo(const std::string& outFile, const std::vector<std::string>& args, int stdinFd)
{
    Result res;
    int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    int pid = spawn(withLauncher(PINCTL_BIN, args), out, out, stdinFd);
    close(out);
    res.status = waitWithin(pid, 10000, res.timedOut);
    return res;
}

// argv as one line of the shell, each word in single quotes.
static std::string shellLine(const std::vector<std::string>& argv)
{
    std::string line;
    for (const std::string& w : argv) {
        std::string quoted;
        for (char c : w)
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        line += (line.empty() ? "'" : " '") + quoted + "'";
    }
    return line;
}

std::string pinctlLine(const std::vector<std::string>& args)
{
    return shellLine(pinctlArgv(args));
}

std::string pinsimLine(const std::vector<std::string>& args)
{
    return shellLine(withLauncher(PINSIM_BIN, args));
}

Result pinctlInShell(const std::string& before, const std::vector<std::string>& args,
                     const std::string& after, int timeoutMs)
{
    return runCommand({"sh", "-c", before + pinctlLine(args) + after}, timeoutMs);
}

bool becomeUser(int uid)
{
    return setgroups(0, nullptr) == 0 && setresgid(uid, uid, uid) == 0 &&
           setresuid(uid, uid, uid) == 0;
}

Result runAsOtherUser(const std::string& line, int timeoutMs, int uid)
{
    const std::string id = std::to_string(uid);
    return runCommand(
        {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "sh", "-c", line},
        timeoutMs);
}

int holdLock(const std::string& path, int uid, int seconds)
{
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        if (!becomeUser(uid))
            _exit(1);
        int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
        short type = F_WRLCK;
        if (fd < 0) {
            fd = open(path.c_str(), O_RDONLY);
            type = F_RDLCK;
        }
        struct flock lock = {};
        lock.l_type = type;
        lock.l_whence = SEEK_SET;
        if (fd < 0 || fcntl(fd, F_SETLK, &lock) != 0)
            _exit(1);
        (void)!write(ready[1], "", 1);
        sleep(seconds);
        _exit(0);
    }
    close(ready[1]);
    char byte;
    bool locked = pid > 0 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    return locked ? pid : -1;
}

int startProcess(const std::vector<std::string>& argv)
{
    return spawn(argv, -1, -1);
}

int startInChild(const std::function<int()>& body)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    return pid;
}

int waitForExit(int pid, int timeoutMs)
{
    bool timedOut = false;
    return waitWithin(pid, timeoutMs, timedOut);
}

int runInChild(const std::function<int()>& body, int timeoutMs)
{
    return waitForExit(startInChild(body), timeoutMs);
}

bool waitFor(const std::function<bool()>& cond, int timeoutMs)
{
    for (int waited = 0; waited < timeoutMs; waited += 5) {
        if (cond())
            return true;
        sleepMs(5);
    }
    return cond();
}

std::string readFile(const std::string& path)
{
    std::string text;
    FILE* f = fopen(path.c_str(), "r");
    if (!f)
        return text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
}

void writeFile(const std::string& path, const std::string& text)
{
    FILE* f = fopen(path.c_str(), "w");
    if (!f)
        return;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

bool fileExists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

int recordedPID(const std::string& path)
{
    return atoi(readFile(path).c_str());
}

std::string showPin(int pin)
{
    return pinsim({"show", std::to_string(pin)}).out;
}

int holdBoard(int seconds)
{
    if (pinsim({"show", "6"}).status != 0)
        return -1;
    return holdLock("/tmp/pinsim/lock", 0, seconds);
}
