#include "folder.h"

#include "fileio.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace simboard {
namespace {

constexpr mode_t kFileMode = 0600;

bool isTrustedOwner(uid_t uid)
{
    return uid == 0 || uid == ::geteuid();
}

// Whether users other than the owner may add, move or remove names in the
// folder st describes: the sticky bit allows them only the first.
bool othersMayReplace(const struct stat& st)
{
    return (st.st_mode & 022) != 0 && (st.st_mode & S_ISVTX) == 0;
}

// A folder above the state folder must be out of other users' reach too,
// or they could move what is below it away and put names of their own in
// its place: owned by root or us and othersMayReplace false; a link on the
// way must be root's or ours.
int checkAncestor(const std::string& path)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return errnoOrEio();
    if (S_ISLNK(st.st_mode)) {
        if (!isTrustedOwner(st.st_uid))
            return EPERM;
        if (::stat(path.c_str(), &st) != 0)
            return errnoOrEio();
    }
    if (!S_ISDIR(st.st_mode))
        return ENOTDIR;
    return isTrustedOwner(st.st_uid) && !othersMayReplace(st) ? 0 : EPERM;
}

// Creates dir and its missing parents (mode 0755 before the umask), each
// only inside a folder that passed checkAncestor.
int makeFolders(const std::string& dir)
{
    if (dir.empty())
        return ENOENT;
    for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        const std::string part = dir.substr(0, slash);
        if (::mkdir(part.c_str(), 0755) == 0) {
            // The mode meant, whatever the umask took away.
            if (::chmod(part.c_str(), 0755) != 0)
                return errnoOrEio();
        } else if (errno != EEXIST) {
            return errnoOrEio();
        }
        if (slash == std::string::npos)
            return 0;
        if (int err = checkAncestor(part))
            return err;
    }
}

// A caller that closed its standard descriptors would have the board's
// files take their numbers, and its own output would land in them.
int moveAboveStandard(int& fd)
{
    if (fd > 2)
        return 0;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int err = moved < 0 ? errnoOrEio() : 0;
    ::close(fd);
    fd = moved;
    return err;
}

// Gives the checked descriptor opened to fd if err is 0, else closes it.
int handOver(int opened, int err, int& fd)
{
    if (err != 0)
        ::close(opened);
    else
        fd = opened;
    return err;
}

}  // namespace

int openFolder(const std::string& dir, int& fd)
{
    fd = -1;
    if (int err = makeFolders(dir))
        return err;
    int opened = openFile(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (opened < 0)
        return errno == ELOOP ? ENOTDIR : errnoOrEio();
    if (int err = moveAboveStandard(opened))
        return err;
    struct stat st;
    int err = ::fstat(opened, &st) != 0 ? errnoOrEio() : 0;
    if (err == 0 && !S_ISDIR(st.st_mode))
        err = ENOTDIR;
    // Writable by others only with the sticky bit (a fresh tmpfs, /tmp
    // itself): what they add then fails the checks of openInFolder.
    if (err == 0 && (!isTrustedOwner(st.st_uid) || othersMayReplace(st)))
        err = EPERM;
    return handOver(opened, err, fd);
}

int openInFolder(int dirFd, const std::string& name, int flags, mode_t type, int& fd)
{
    fd = -1;
    int opened;
    do {
        opened = ::openat(dirFd, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    } while (opened < 0 && errno == EINTR);
    if (opened < 0)
        return errno == ELOOP ? EPERM : errnoOrEio();
    if (int err = moveAboveStandard(opened))
        return err;
    struct stat st;
    int err = ::fstat(opened, &st) != 0 ? errnoOrEio() : 0;
    // A second link may be another user's name for a file of ours or root's.
    if (err == 0 && ((st.st_mode & S_IFMT) != type || !isTrustedOwner(st.st_uid) ||
                     (st.st_mode & 022) != 0 || st.st_nlink != 1))
        err = EPERM;
    // A board made before files were private (no other user can have
    // written to it, but they may read or lock it), or a file the umask
    // made unwritable to us: mode 0600 now.
    if (err == 0 && (st.st_mode & 0777) != kFileMode && ::fchmod(opened, kFileMode) != 0)
        err = EPERM;
    return handOver(opened, err, fd);
}

int makeFIFO(int dirFd, const std::string& name)
{
    // Made in a folder no one else can write to, or one whose sticky bit
    // keeps others from replacing our names: the mode can be set by name.
    if (::mkfifoat(dirFd, name.c_str(), kFileMode) != 0 ||
        ::fchmodat(dirFd, name.c_str(), kFileMode, 0) != 0)
        return errnoOrEio();
    return 0;
}

}  // namespace simboard
