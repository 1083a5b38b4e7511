// Locking and access to the shared state file.
//
// Machine-wide exclusion is an fcntl write lock on byte 0 of $DIR/lock;
// fcntl locks belong to the process, so a mutex excludes the process's own
// threads as well. Both are waited for only until the operation's deadline
// (waits.h): a process that holds the lock for ever fails the others'
// calls with ETIMEDOUT rather than hanging them. The lock file's descriptor
// stays open for the process's lifetime: closing any descriptor of a file
// drops all of the process's fcntl locks on it, so we never open and close
// a second one.
#include "board.h"

#include "fileio.h"
#include "folder.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <new>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace simboard {
namespace {

const char kDefaultDir[] = "/tmp/pinsim";
const char kStateFile[] = "state";
const char kNewStateFile[] = "state.new";
constexpr off_t kStateByte = 0;
constexpr off_t kEdgeByte = 1;  // + pin

std::timed_mutex boardMutex;              // guards the site table and the state lock
std::timed_mutex edgeMutexes[kPinCount];  // held by the one thread writing a pin's edges
std::map<std::string, BoardSite> sites;
BoardSite* lastSite = nullptr;

void lockBeforeFork()
{
    boardMutex.lock();
}
void unlockAfterFork()
{
    boardMutex.unlock();
}
void resetInChild()
{
    boardMutex.unlock();
    // A thread of the parent may have been writing an edge; it does not
    // exist here, so its hold on an edge mutex must not survive either.
    for (std::timed_mutex& m : edgeMutexes)
        new (&m) std::timed_mutex;
}

void registerForkHandlers()
{
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(lockBeforeFork, unlockAfterFork, resetInChild); });
}

// Whether path still names the lock file the site has open (its identity
// was taken when it was opened, and an open file keeps it).
bool namesLockFile(const BoardSite& site, const std::string& path)
{
    struct stat byPath;
    return ::lstat(path.c_str(), &byPath) == 0 && site.lockDev == byPath.st_dev &&
           site.lockIno == byPath.st_ino;
}

int openSite(const std::string& dir, BoardSite& site)
{
    int dirFd = -1, lockFd = -1, ownersFd = -1;
    int err = openFolder(dir, dirFd);
    if (err == 0)
        err = openInFolder(dirFd, "lock", O_RDWR | O_CREAT, S_IFREG, lockFd);
    if (err == 0)
        err = openInFolder(dirFd, "owners", O_RDWR | O_CREAT, S_IFREG, ownersFd);
    struct stat lockStat;
    if (err == 0 && ::fstat(lockFd, &lockStat) != 0)
        err = errnoOrEio();
    if (err != 0) {
        for (int fd : {dirFd, lockFd, ownersFd})
            if (fd >= 0)
                ::close(fd);
        return err;
    }
    site.dir = dir;
    site.dirFd = dirFd;
    site.lockFd = lockFd;
    site.lockDev = lockStat.st_dev;
    site.lockIno = lockStat.st_ino;
    site.ownersFd = ownersFd;
    site.ownerLockPid = 0;
    return 0;
}

// Finds the open files of the current state folder (boardMutex held). A
// folder that was removed and made anew gets fresh descriptors; the stale
// ones are left open, as another thread may still hold a lock through them.
int findSite(BoardSite*& site)
{
    const std::string dir = currentBoardDir();
    if (lastSite != nullptr && lastSite->dir == dir && namesLockFile(*lastSite, dir + "/lock")) {
        site = lastSite;
        return 0;
    }
    auto it = sites.find(dir);
    if (it == sites.end() || !namesLockFile(it->second, dir + "/lock")) {
        BoardSite opened;
        if (int err = openSite(dir, opened))
            return err;
        it = sites.insert_or_assign(dir, opened).first;
    }
    site = lastSite = &it->second;
    return 0;
}

// Writes the state anew beside the old and renames it into place, so that
// a write cut short (a full disk, a file size limit, the writer killed)
// leaves the old state whole.
int replaceState(const BoardSite& site, const std::string& text)
{
    ::unlinkat(site.dirFd, kNewStateFile, 0);
    int fd = -1;
    if (int err = openInFolder(site.dirFd, kNewStateFile, O_WRONLY | O_CREAT | O_EXCL, S_IFREG, fd))
        return err;
    int err = writeAt(fd, text);
    ::close(fd);
    if (err == 0 && ::renameat(site.dirFd, kNewStateFile, site.dirFd, kStateFile) != 0)
        err = errnoOrEio();
    if (err != 0)
        ::unlinkat(site.dirFd, kNewStateFile, 0);
    return err;
}

int runLocked(const BoardUse& use, bool readOld, const Deadline& deadline)
{
    registerForkHandlers();
    if (int err = lockMutex(boardMutex, deadline))
        return err;
    std::lock_guard<std::timed_mutex> guard(boardMutex, std::adopt_lock);
    BoardSite* site = nullptr;
    if (int err = findSite(site))
        return err;
    if (int err = lockByte(site->lockFd, kStateByte, F_WRLCK, deadline))
        return err;
    struct Unlock {
        int fd;
        ~Unlock() { unlockByte(fd, kStateByte); }
    } unlock{site->lockFd};
    BoardState board;
    std::string text;
    if (readOld) {
        int fd = -1;
        int err = openInFolder(site->dirFd, kStateFile, O_RDONLY | O_CREAT, S_IFREG, fd);
        if (err == 0) {
            err = readAll(fd, text);
            ::close(fd);
        }
        if (err == 0 && !text.empty() && !parseBoard(text, board))
            err = EIO;
        if (err != 0)
            return err;
    }
    bool changed = !readOld;
    if (int err = use(board, *site, changed))
        return err;
    std::string updated = formatBoard(board);
    // An edit that leaves the stored text as it was (making an output of
    // an output, say) is not written again.
    if (!changed || (readOld && updated == text))
        return 0;
    return replaceState(*site, updated);
}

}  // namespace

bool isUsablePin(int pin)
{
    switch (pin) {
    case 0:
    case 1:
    case 6:
    case 7:
    case 8:
    case 12:
    case 13:
    case 14:
    case 15:
    case 16:
    case 17:
    case 18:
    case 19:
    case 23:
    case 26:
        return true;
    default:
        return false;
    }
}

std::string currentBoardDir()
{
    const char* dir = std::getenv("PINSIM_DIR");
    if (dir == nullptr || *dir == '\0')
        return kDefaultDir;
    if (*dir == '/')
        return dir;
    // A relative folder is taken from the working folder of its first use,
    // once: a worker that moves to / afterwards still finds its board.
    static std::string named, resolved;
    if (named != dir) {
        char* cwd = ::getcwd(nullptr, 0);
        if (cwd == nullptr)
            return dir;
        named = dir;
        resolved = cwd;
        std::free(cwd);
        resolved += (resolved.back() == '/' ? "" : "/") + named;
    }
    return resolved;
}

int useBoard(const BoardUse& use, const Deadline& deadline)
{
    try {
        return runLocked(use, true, deadline);
    } catch (...) {
        return ENOMEM;
    }
}

int rewriteBoard(const BoardUse& use)
{
    try {
        return runLocked(use, false, Deadline());
    } catch (...) {
        return ENOMEM;
    }
}

int lockEdgeWriters(int pin, const Deadline& deadline, int& fd)
{
    registerForkHandlers();
    fd = -1;
    if (pin < 0 || pin >= kPinCount)
        return ENODEV;
    if (int err = lockMutex(edgeMutexes[pin], deadline))
        return err;
    int err = lockMutex(boardMutex, deadline);
    if (err == 0) {
        std::lock_guard<std::timed_mutex> guard(boardMutex, std::adopt_lock);
        BoardSite* site = nullptr;
        try {
            err = findSite(site);
        } catch (...) {
            err = ENOMEM;
        }
        if (err == 0)
            fd = site->lockFd;
    }
    if (err == 0)
        err = lockByte(fd, kEdgeByte + pin, F_WRLCK, deadline);
    if (err != 0) {
        fd = -1;
        edgeMutexes[pin].unlock();
    }
    return err;
}

void unlockEdgeWriters(int pin, int fd)
{
    if (fd < 0)
        return;
    unlockByte(fd, kEdgeByte + pin);
    edgeMutexes[pin].unlock();
}

}  // namespace simboard
