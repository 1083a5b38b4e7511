// The record file: its name, how it is drafted, written and read.
#include "records.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Nothing a record holds comes near this; more is not read.
static const size_t RECORD_MAX = size_t{64} * 1024;

static int errnoOrEIO()
{
    return errno != 0 ? errno : EIO;
}

static struct flock wholeFile(short type)
{
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return lock;
}

int createRecordDraft(const std::string& path, RecordDraft& draft)
{
    // Readable by no one else until its worker holds it: anyone able to
    // open it could take a lock on it first.
    if (unlink(path.c_str()) != 0 && errno != ENOENT)
        return errnoOrEIO();
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return errnoOrEIO();
    draft.fd = fd;
    draft.path = path;
    return 0;
}

int holdRecord(const RecordDraft& draft)
{
    struct flock lock = wholeFile(F_WRLCK);
    return fcntl(draft.fd, F_SETLK, &lock) == 0 ? 0 : errnoOrEIO();
}

void discardRecordDraft(RecordDraft& draft)
{
    if (draft.fd < 0)
        return;
    if (namesFile(draft.path, draft.fd))
        unlink(draft.path.c_str());
    close(draft.fd);
    draft.fd = -1;
}

static int writeAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errnoOrEIO() : EIO;
        done += (size_t)n;
    }
    return 0;
}

static int publishRecord(RecordDraft& draft, const std::string& record, int pid,
                         const std::string& params)
{
    std::string text = std::to_string(pid) + "\n" + params;
    if (int err = writeAll(draft.fd, text))
        return err;
    if (fchmod(draft.fd, 0644) != 0 || rename(draft.path.c_str(), record.c_str()) != 0)
        return errnoOrEIO();
    return 0;
}

int noteChildPIDPWM(int pin, int pid, int freq, int duty, RecordDraft& draft)
{
    char params[64];
    snprintf(params, sizeof params, "Frequency:%d, Duty:%d\n", freq, duty);
    return publishRecord(draft, recordPath(PWM_WORKER, pin), pid, params);
}

int noteChildPIDIRQ(int pin, int pid, GPIO_Irq_Type type, const char* cmd, int debounce,
                    RecordDraft& draft)
{
    const char* word = type == GPIO_IRQ_RISING    ? "Rising"
                       : type == GPIO_IRQ_FALLING ? "Falling"
                                                  : "Both";
    std::string params = std::string("Type:") + word + ", Cmd:'" + cmd +
                         "', Debounce:" + std::to_string(debounce) + "\n";
    return publishRecord(draft, recordPath(IRQ_WORKER, pin), pid, params);
}

Record parseRecord(const std::string& text)
{
    Record rec;
    size_t end1 = text.find('\n');
    std::string first = text.substr(0, end1);
    errno = 0;
    long pid = strtol(first.c_str(), nullptr, 10);
    if (errno == 0 && pid > 0 && pid <= INT_MAX)
        rec.pid = (int)pid;
    if (end1 != std::string::npos) {
        // The parameters may hold newlines of their own (an interrupt
        // command can): they run to the end, less the record's last newline.
        rec.params = text.substr(end1 + 1);
        if (!rec.params.empty() && rec.params.back() == '\n')
            rec.params.pop_back();
    }
    return rec;
}

int openRecord(const std::string& path)
{
    return open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

int readRecord(int fd, Record& rec)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return errnoOrEIO();
    std::string text;
    char buf[4096];
    ssize_t n;
    while (S_ISREG(st.st_mode) && text.size() < RECORD_MAX &&
           (n = read(fd, buf, sizeof buf)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errnoOrEIO();
        text.append(buf, (size_t)n);
    }
    rec = parseRecord(text);
    return 0;
}

bool namesFile(const std::string& path, int fd)
{
    struct stat byName, byFd;
    return lstat(path.c_str(), &byName) == 0 && fstat(fd, &byFd) == 0 &&
           byName.st_dev == byFd.st_dev && byName.st_ino == byFd.st_ino;
}
