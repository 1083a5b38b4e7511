// Which live worker a record names, and the summary of it for the report.
//
// A worker of this version holds a write lock on its record for its whole
// life, so the record's worker is whoever holds that lock: the system
// gives its id as this process sees it, also when the worker was started
// in another PID namespace that shares /tmp (or 0 when it runs where this
// process cannot see it). Nobody else can take that lock: others may open
// a record for reading only.
//
// A worker started by an earlier version (or a record written by hand)
// holds no lock: such a process counts as the record's worker while the
// system says it has not ended, it runs this program with the kind and
// pin as its first arguments ("pinctl pwm 6 ..."), and it started before
// the record was written, which a recycled process id cannot fake.
#include "cli/command.h"
#include "records.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

// The holder of a write lock on the file open at fd: its id, 0 when there
// is none, NO_WORKER_ID when this process cannot see it.
static int writeLockHolder(int fd)
{
    struct flock lock = {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_GETLK, &lock) != 0 || lock.l_type == F_UNLCK)
        return 0;
    return lock.l_pid > 0 ? lock.l_pid : NO_WORKER_ID;
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

// The fields of /proc/PID/stat after the name (which may hold blanks):
// [0] is the state, [19] the start time in clock ticks since boot.
static std::vector<std::string> statFields(int pid)
{
    std::string stat = readProcFile(pid, "stat");
    std::vector<std::string> fields;
    size_t at = stat.rfind(')');
    if (at == std::string::npos)
        return fields;
    for (at += 1; at < stat.size();) {
        size_t start = stat.find_first_not_of(' ', at);
        if (start == std::string::npos)
            break;
        size_t end = stat.find(' ', start);
        fields.push_back(stat.substr(start, end - start));
        at = end;
    }
    return fields;
}

// Whether pid is running (not ended) and started no later than written.
static bool startedBy(int pid, const struct timespec& written)
{
    std::vector<std::string> f = statFields(pid);
    if (f.size() < 20 || f[0] == "Z" || f[0] == "X")
        return false;
    struct timespec boot, real;
    clock_gettime(CLOCK_BOOTTIME, &boot);
    clock_gettime(CLOCK_REALTIME, &real);
    double ticks = (double)sysconf(_SC_CLK_TCK);
    double started = (double)real.tv_sec - (double)boot.tv_sec +
                     (double)(real.tv_nsec - boot.tv_nsec) / 1e9 +
                     strtod(f[19].c_str(), nullptr) / ticks;
    // Within a clock tick, and the rounding of the conversion.
    return started <= (double)written.tv_sec + (double)written.tv_nsec / 1e9 + 2 / ticks;
}

// Whether pid runs "<this program> <kind> <pin> ...".
static bool runsWorkerCommand(int pid, const WorkerKind& kind, int pin)
{
    std::string text = readProcFile(pid, "cmdline");
    std::vector<std::string> words;
    for (size_t at = 0; at < text.size() && words.size() < 3;) {
        size_t end = text.find('\0', at);
        if (end == std::string::npos)
            end = text.size();
        words.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    int p;
    return words.size() == 3 && baseName(words[0]) == ownName() && words[1] == kind.word &&
           convertInt(words[2].c_str(), p) && p == pin && (p != 0 || words[2] == "0");
}

int recordedWorker(int fd, const Record& rec, const WorkerKind& kind, int pin)
{
    if (int holder = writeLockHolder(fd))
        return holder;
    struct stat st;
    if (rec.pid <= 0 || rec.pid == getpid() || fstat(fd, &st) != 0)
        return 0;
    return runsWorkerCommand(rec.pid, kind, pin) && startedBy(rec.pid, st.st_mtim) ? rec.pid : 0;
}

static bool getWorkerInf(const WorkerKind& kind, int pin, std::string& dst)
{
    int fd = openRecord(recordPath(kind, pin));
    if (fd < 0)
        return false;
    Record rec;
    int pid = readRecord(fd, rec) == 0 ? recordedWorker(fd, rec, kind, pin) : 0;
    // One this process cannot see goes by the id it recorded.
    if (pid != 0)
        dst = "\tProcess Id:" + std::to_string(pid > 0 ? pid : rec.pid) + "\n\t" + rec.params;
    close(fd);
    return pid != 0;
}

bool getPWMInf(int pin, std::string& dst)
{
    return getWorkerInf(PWM_WORKER, pin, dst);
}

bool getIRQInf(int pin, std::string& dst)
{
    return getWorkerInf(IRQ_WORKER, pin, dst);
}
