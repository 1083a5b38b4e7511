#include "sandbox.h"

#include "run.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

// The built programs may live under /tmp themselves (a checkout there):
// bind their folder from the old /tmp, open at oldTmp, into the new one.
static bool keepBuildVisible(int oldTmp)
{
    std::string dir = PINCTL_BIN;
    dir.erase(dir.rfind('/'));
    if (dir.compare(0, 5, "/tmp/") != 0)
        return true;
    std::string rel = dir.substr(5);
    for (size_t slash = 0; slash != std::string::npos;) {
        slash = rel.find('/', slash + 1);
        mkdir(("/tmp/" + rel.substr(0, slash)).c_str(), 0755);
    }
    std::string from = "/proc/self/fd/" + std::to_string(oldTmp) + "/" + rel;
    return mount(from.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

bool enterPrivateTmp(std::string& why)
{
    if (unshare(CLONE_NEWNS) != 0) {
        why = std::string("unshare(CLONE_NEWNS): ") + strerror(errno) + " (the sandbox needs root)";
        return false;
    }
    int oldTmp = open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // Keep our mounts from reaching the machine's own namespace.
    bool ok = mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
              mount("tmpfs", "/tmp", "tmpfs", 0, "size=64m,mode=1777") == 0 &&
              mount("tmpfs", "/run", "tmpfs", 0, "size=1m,mode=755") == 0 &&
              keepBuildVisible(oldTmp);
    if (!ok)
        why = std::string("mount: ") + strerror(errno);
    close(oldTmp);
    return ok;
}

// Each process's parent, from /proc.
static std::vector<std::pair<int, int>> parentsOfAll()
{
    std::vector<std::pair<int, int>> parents;
    DIR* proc = opendir("/proc");
    if (!proc)
        return parents;
    while (struct dirent* e = readdir(proc)) {
        int pid = atoi(e->d_name);
        if (pid <= 0)
            continue;
        char path[64];
        snprintf(path, sizeof path, "/proc/%d/stat", pid);
        FILE* f = fopen(path, "r");
        if (!f)
            continue;
        char line[512];
        if (fgets(line, sizeof line, f)) {
            // The name in parentheses may hold blanks: read on from its end.
            const char* close = strrchr(line, ')');
            int ppid = 0;
            char state = 0;
            if (close && sscanf(close + 1, " %c %d", &state, &ppid) == 2)
                parents.emplace_back(pid, ppid);
        }
        fclose(f);
    }
    closedir(proc);
    return parents;
}

std::vector<int> childProcesses()
{
    std::vector<int> kids;
    for (const auto& p : parentsOfAll()) {
        if (p.second == getpid())
            kids.push_back(p.first);
    }
    return kids;
}

// The children of this process, theirs, and so on.
static std::vector<int> descendantProcesses()
{
    std::vector<std::pair<int, int>> parents = parentsOfAll();
    std::vector<int> found = {getpid()};
    for (size_t i = 0; i < found.size(); i++) {
        for (const auto& p : parents) {
            if (p.second == found[i])
                found.push_back(p.first);
        }
    }
    found.erase(found.begin());
    return found;
}

void killChildren()
{
    for (int round = 0; round < 100; round++) {
        std::vector<int> kids = childProcesses();
        if (kids.empty())
            return;
        for (int pid : kids)
            kill(pid, SIGKILL);
        for (int pid : kids)
            waitpid(pid, nullptr, 0);
    }
}

bool isRunning(int pid)
{
    if (pid <= 0)
        return false;
    int status;
    int r = waitpid(pid, &status, WNOHANG);
    if (r == pid)
        return false;
    if (r == 0)
        return true;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE* f = fopen(path, "r");
    if (!f)
        return false;
    char line[512] = "";
    char state = 0;
    if (fgets(line, sizeof line, f)) {
        const char* close = strrchr(line, ')');
        if (close)
            sscanf(close + 1, " %c", &state);
    }
    fclose(f);
    return state != 0 && state != 'Z' && state != 'X';
}

std::vector<int> liveWorkers(const std::string& op)
{
    std::vector<int> found;
    const std::string words = "pinctl" + std::string(1, '\0') + op + std::string(1, '\0');
    for (int pid : descendantProcesses()) {
        std::string cmdline = readFile("/proc/" + std::to_string(pid) + "/cmdline");
        if (cmdline.find(words) != std::string::npos && isRunning(pid))
            found.push_back(pid);
    }
    return found;
}

void SandboxTest::SetUp()
{
    std::string why;
    if (!enterPrivateTmp(why))
        GTEST_SKIP() << why;
}

void SandboxTest::TearDown()
{
    killChildren();
}
