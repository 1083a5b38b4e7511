// Which live worker a record names, and the summary of it for the report.
//
// A worker of this version holds its record's lock for its whole life. A
// worker started by an earlier version (or a record written by hand) holds
// no lock: such a process counts as the record's worker while the system
// says it has not ended and its command line is this program's own
// command for that kind and pin ("pinctl pwm 6 ..."), which a recycled
// process id does not fake.
#include "cli/command.h"
#include "records.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <vector>

static bool isHeldBy(int fd, int pid)
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_GETLK, &lock) != 0)
        return false;
    return lock.l_type != F_UNLCK && lock.l_pid == pid;
}

static std::string readProcFile(int pid, const char* name)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/%s", pid, name);
    std::string text;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buf[1024];
    ssize_t n;
    while (text.size() < 8192 && (n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, (size_t)n);
    close(fd);
    return text;
}

static std::string baseName(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name this program runs under.
static std::string ownName()
{
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    return n > 0 ? baseName(std::string(exe, (size_t)n)) : "pinctl";
}

static bool hasEnded(int pid)
{
    std::string stat = readProcFile(pid, "stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size())
        return true;
    char state = stat[close + 2];
    return state == 'Z' || state == 'X';
}

// Whether pid runs "<this program> <kind> <pin> ...". An emulator may stand
// before the program's own words, so they are looked for anywhere.
static bool runsWorkerCommand(int pid, const WorkerKind& kind, int pin)
{
    std::string text = readProcFile(pid, "cmdline");
    std::vector<std::string> words;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\0', at);
        if (end == std::string::npos)
            end = text.size();
        words.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    const std::string name = ownName();
    for (size_t i = 0; i + 2 < words.size(); i++) {
        int p;
        if (baseName(words[i]) == name && words[i + 1] == kind.word &&
            convertInt(words[i + 2].c_str(), p) && p == pin && (p != 0 || words[i + 2] == "0"))
            return true;
    }
    return false;
}

int recordedWorker(int fd, const Record& rec, const WorkerKind& kind, int pin)
{
    if (rec.pid <= 0)
        return 0;
    if (isHeldBy(fd, rec.pid))
        return rec.pid;
    if (rec.pid != getpid() && runsWorkerCommand(rec.pid, kind, pin) && !hasEnded(rec.pid))
        return rec.pid;
    return 0;
}

static bool getWorkerInf(const WorkerKind& kind, int pin, std::string& dst)
{
    int fd = openRecord(recordPath(kind, pin));
    if (fd < 0)
        return false;
    Record rec = readRecord(fd);
    int pid = recordedWorker(fd, rec, kind, pin);
    if (pid > 0)
        dst = "\tProcess Id:" + std::to_string(pid) + "\n\t" + rec.params;
    close(fd);
    return pid > 0;
}

bool getPWMInf(int pin, std::string& dst)
{
    return getWorkerInf(PWM_WORKER, pin, dst);
}

bool getIRQInf(int pin, std::string& dst)
{
    return getWorkerInf(IRQ_WORKER, pin, dst);
}
