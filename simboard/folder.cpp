#include "folder.h"

#include "fileio.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace simboard {
namespace {

constexpr mode_t kFileMode = 0600;

int errnoOrEio()
{
    return errno != 0 ? errno : EIO;
}

bool isTrustedOwner(uid_t uid)
{
    return uid == 0 || uid == ::geteuid();
}

// A caller that closed its standard descriptors would have the board's
// files take their numbers, and its own output would land in them.
int moveAboveStandard(int& fd)
{
    if (fd > 2) return 0;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int err = moved < 0 ? errnoOrEio() : 0;
    ::close(fd);
    fd = moved;
    return err;
}

}  // namespace

int openFolder(const std::string& dir, int& fd)
{
    fd = -1;
    if (int err = makeDirs(dir)) return err;
    int opened = openFile(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (opened < 0) return errno == ELOOP ? ENOTDIR : errnoOrEio();
    if (int err = moveAboveStandard(opened)) return err;
    struct stat st;
    int err = ::fstat(opened, &st) != 0 ? errnoOrEio() : 0;
    if (err == 0 && !S_ISDIR(st.st_mode)) err = ENOTDIR;
    // Writable by others only with the sticky bit (a fresh tmpfs, /tmp
    // itself): they may add names then, but neither move nor remove ours,
    // and what they add fails the checks of openInFolder.
    const bool othersWrite = (st.st_mode & 022) != 0 && (st.st_mode & S_ISVTX) == 0;
    if (err == 0 && (!isTrustedOwner(st.st_uid) || othersWrite)) err = EPERM;
    if (err != 0) {
        ::close(opened);
        return err;
    }
    fd = opened;
    return 0;
}

int openInFolder(int dirFd, const std::string& name, int flags, mode_t type, int& fd)
{
    fd = -1;
    int opened;
    do {
        opened = ::openat(dirFd, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    } while (opened < 0 && errno == EINTR);
    if (opened < 0) return errno == ELOOP ? EPERM : errnoOrEio();
    if (int err = moveAboveStandard(opened)) return err;
    struct stat st;
    int err = ::fstat(opened, &st) != 0 ? errnoOrEio() : 0;
    // A second link may be another user's name for a file of ours or root's.
    if (err == 0 && ((st.st_mode & S_IFMT) != type || !isTrustedOwner(st.st_uid) ||
                     (st.st_mode & 022) != 0 || st.st_nlink != 1))
        err = EPERM;
    // A board made before files were private: no other user can have
    // written to it, but they may read or lock it. Close that now.
    if (err == 0 && (st.st_mode & 077) != 0 && ::fchmod(opened, kFileMode) != 0) err = EPERM;
    if (err != 0) {
        ::close(opened);
        return err;
    }
    fd = opened;
    return 0;
}

int makeFIFO(int dirFd, const std::string& name)
{
    return ::mkfifoat(dirFd, name.c_str(), kFileMode) == 0 ? 0 : errnoOrEio();
}

}  // namespace simboard
