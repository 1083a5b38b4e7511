#include "trust.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/gpio.h>
#include <sys/auxv.h>
#include <sys/stat.h>

namespace linuxboard {

uid_t ourUser()
{
    return (uid_t)getauxval(AT_EUID);
}

gid_t ourGroup()
{
    return (gid_t)getauxval(AT_EGID);
}

bool isTrustedUser(uid_t uid)
{
    return uid == 0 || uid == ourUser();
}

namespace {

const int FOLDERS_MAX = 3;
const size_t FOLDER_PATH_MAX = 64;

// Made once, as plain text: every request looks through them.
struct Names {
    char consumer[GPIO_MAX_NAME_SIZE];
    char folder[FOLDERS_MAX][FOLDER_PATH_MAX];
    int folders = 0;

    Names()
    {
        unsigned long uid = ourUser();
        snprintf(consumer, sizeof consumer, "varnel-%lu", uid);
        // Root never looks in a folder that others could have made first.
        if (uid == 0) {
            add("/run/varnel");
            add("/var/run/varnel");
        } else {
            snprintf(folder[folders++], FOLDER_PATH_MAX, "/run/user/%lu/varnel", uid);
            snprintf(folder[folders++], FOLDER_PATH_MAX, "/tmp/varnel-%lu", uid);
        }
    }
    void add(const char* path) { snprintf(folder[folders++], FOLDER_PATH_MAX, "%s", path); }
};

const Names& names()
{
    static const Names made;
    return made;
}

// Whether the folder at path may hold a folder of ours: it is root's or
// ours, and no one else may remove or rename what it holds (written by its
// owner alone, or sticky; for root, written by its owner alone).
bool mayHoldOurFolder(const char* path)
{
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISDIR(st.st_mode) || !isTrustedUser(st.st_uid))
        return false;
    if ((st.st_mode & 022) == 0)
        return true;
    return (st.st_mode & S_ISVTX) != 0 && ourUser() != 0;
}

// The folder that holds dir, into parent.
bool parentOf(const char* dir, char (&parent)[FOLDER_PATH_MAX])
{
    const char* slash = strrchr(dir, '/');
    size_t n = slash == nullptr ? 0 : (size_t)(slash - dir);
    if (n == 0 || n >= sizeof parent)
        return false;
    memcpy(parent, dir, n);
    parent[n] = '\0';
    return true;
}

}  // namespace

const char* ourConsumer()
{
    return names().consumer;
}

int keeperFolderCount()
{
    return names().folders;
}

const char* keeperFolderPath(int i)
{
    return names().folder[i];
}

int checkOurFolder(const char* dir)
{
    struct stat st;
    if (lstat(dir, &st) != 0)
        return errno;
    if (!S_ISDIR(st.st_mode) || st.st_uid != ourUser() || (st.st_mode & 022) != 0)
        return EPERM;
    char parent[FOLDER_PATH_MAX];
    return parentOf(dir, parent) && mayHoldOurFolder(parent) ? 0 : EPERM;
}

int makeOurFolder(const char* dir)
{
    if (mkdir(dir, 0700) == 0) {
        // Whatever the umask took away.
        if (chmod(dir, 0700) != 0)
            return errno;
    } else if (errno != EEXIST) {
        return errno;
    }
    return checkOurFolder(dir);
}

int ourFolder(std::string& dir)
{
    for (int i = 0; i < keeperFolderCount(); i++) {
        char parent[FOLDER_PATH_MAX];
        if (parentOf(keeperFolderPath(i), parent) && mayHoldOurFolder(parent)) {
            dir = keeperFolderPath(i);
            return makeOurFolder(dir.c_str());
        }
    }
    return ENOENT;
}

}  // namespace linuxboard
