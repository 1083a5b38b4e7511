// Locking and access to the shared state file.
//
// Machine-wide exclusion is an fcntl write lock on byte 0 of $DIR/lock;
// fcntl locks belong to the process, so a mutex excludes the process's own
// threads as well. The lock file's descriptor stays open for the process's
// lifetime: closing any descriptor of a file drops all of the process's
// fcntl locks on it, so we never open and close a second one.
#include "board.h"

#include "fileio.h"

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
constexpr off_t kStateByte = 0;
constexpr off_t kEdgeByte = 1;

std::mutex boardMutex;     // guards the site table and the state lock
std::mutex edgeMutex;      // held by the one thread of this process writing edges
std::map<std::string, BoardSite> sites;
BoardSite* lastSite = nullptr;

void lockBeforeFork() { boardMutex.lock(); }
void unlockAfterFork() { boardMutex.unlock(); }
void resetInChild() {
    boardMutex.unlock();
    // A thread of the parent may have been writing an edge; it does not
    // exist here, so its hold on the edge mutex must not survive either.
    new (&edgeMutex) std::mutex;
}

void registerForkHandlers() {
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(lockBeforeFork, unlockAfterFork, resetInChild); });
}

int lockByte(int fd, off_t byte, short type, bool wait) {
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    while (::fcntl(fd, wait ? F_SETLKW : F_SETLK, &fl) < 0) {
        if (errno != EINTR) return errno != 0 ? errno : EIO;
    }
    return 0;
}

// Whether path still names the lock file the site has open (its identity
// was taken when it was opened, and an open file keeps it).
bool namesLockFile(const BoardSite& site, const std::string& path) {
    struct stat byPath;
    return ::stat(path.c_str(), &byPath) == 0 && site.lockDev == byPath.st_dev &&
           site.lockIno == byPath.st_ino;
}

int openSite(const std::string& dir, BoardSite& site) {
    if (int err = makeDirs(dir)) return err;
    const int lockFd = openFile(dir + "/lock", O_RDWR | O_CREAT);
    if (lockFd < 0) return errno != 0 ? errno : EIO;
    const int ownersFd = openFile(dir + "/owners", O_RDWR | O_CREAT);
    if (ownersFd < 0) {
        const int err = errno != 0 ? errno : EIO;
        ::close(lockFd);
        return err;
    }
    struct stat lockStat;
    if (::fstat(lockFd, &lockStat) != 0) {
        const int err = errno != 0 ? errno : EIO;
        ::close(lockFd);
        ::close(ownersFd);
        return err;
    }
    site.dir = dir;
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
int findSite(BoardSite*& site) {
    const std::string dir = currentBoardDir();
    if (lastSite != nullptr && lastSite->dir == dir && namesLockFile(*lastSite, dir + "/lock")) {
        site = lastSite;
        return 0;
    }
    auto it = sites.find(dir);
    if (it == sites.end() || !namesLockFile(it->second, dir + "/lock")) {
        BoardSite opened;
        if (int err = openSite(dir, opened)) return err;
        it = sites.insert_or_assign(dir, opened).first;
    }
    site = lastSite = &it->second;
    return 0;
}

int runLocked(const BoardEdit& edit, bool readOld) {
    registerForkHandlers();
    std::lock_guard<std::mutex> guard(boardMutex);
    BoardSite* site = nullptr;
    if (int err = findSite(site)) return err;
    if (int err = lockByte(site->lockFd, kStateByte, F_WRLCK, true)) return err;
    struct Unlock {
        int fd;
        ~Unlock() { lockByte(fd, kStateByte, F_UNLCK, false); }
    } unlock{site->lockFd};
    // Written in place under the lock: no temporary file, no rename.
    const int fd = openFile(site->dir + "/state", O_RDWR | O_CREAT);
    if (fd < 0) return errno != 0 ? errno : EIO;
    struct Close {
        int fd;
        ~Close() { ::close(fd); }
    } close{fd};
    BoardState board;
    int err = 0;
    std::string text;
    if (readOld) {
        err = readAll(fd, text);
        if (err == 0 && !text.empty() && !parseBoard(text, board)) err = EIO;
    } else if (::ftruncate(fd, 0) != 0) {
        // Emptied first: a writer stopped midway leaves a fresh board.
        err = errno != 0 ? errno : EIO;
    }
    bool changed = !readOld;
    if (err == 0) err = edit(board, *site, changed);
    if (err == 0 && changed) {
        std::string updated = formatBoard(board);
        // An edit that leaves the stored text as it was (making an output
        // of an output, say) is not written again.
        if (readOld && updated == text) return 0;
        // One write, padded with newlines to the old length, so that a
        // writer stopped at any moment never leaves the old text's tail
        // behind a shorter new one.
        if (updated.size() < text.size()) updated.append(text.size() - updated.size(), '\n');
        err = writeAt(fd, updated);
    }
    return err;
}

}  // namespace

bool isUsablePin(int pin) {
    switch (pin) {
    case 0: case 1: case 6: case 7: case 8:
    case 12: case 13: case 14: case 15: case 16: case 17: case 18: case 19:
    case 23: case 26:
        return true;
    default:
        return false;
    }
}

std::string currentBoardDir() {
    const char* dir = std::getenv("PINSIM_DIR");
    return dir != nullptr && *dir != '\0' ? dir : kDefaultDir;
}

int editBoard(const BoardEdit& edit) {
    try {
        return runLocked(edit, true);
    } catch (...) {
        return ENOMEM;
    }
}

int rewriteBoard(const BoardEdit& edit) {
    try {
        return runLocked(edit, false);
    } catch (...) {
        return ENOMEM;
    }
}

int lockEdgeWriters(int& fd) {
    registerForkHandlers();
    fd = -1;
    edgeMutex.lock();
    int err = 0;
    {
        std::lock_guard<std::mutex> guard(boardMutex);
        BoardSite* site = nullptr;
        try {
            err = findSite(site);
        } catch (...) {
            err = ENOMEM;
        }
        if (err == 0) fd = site->lockFd;
    }
    if (err == 0) err = lockByte(fd, kEdgeByte, F_WRLCK, true);
    if (err != 0) {
        fd = -1;
        edgeMutex.unlock();
    }
    return err;
}

void unlockEdgeWriters(int fd) {
    if (fd < 0) return;
    lockByte(fd, kEdgeByte, F_UNLCK, false);
    edgeMutex.unlock();
}

}  // namespace simboard
