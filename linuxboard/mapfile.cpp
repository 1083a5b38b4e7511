// Reading this process's pin map from its file.
#include "pinmap.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

namespace linuxboard {

static const char DEFAULT_MAP_FILE[] = "/etc/varnel/pinmap";
// A pin map is a few dozen lines; more than this is no pin map.
static const size_t MAP_FILE_MAX = size_t{1024} * 1024;

// Reads the whole file; 0 or an errno value.
static int readMapFile(const char* path, std::string& text)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return EINVAL;
    }
    char buf[4096];
    int err = 0;
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            err = errno;
            break;
        }
        if (n == 0)
            break;
        text.append(buf, (size_t)n);
        if (text.size() > MAP_FILE_MAX) {
            err = EFBIG;
            break;
        }
    }
    close(fd);
    return err;
}

static PinMap loadPinMap()
{
    // Only the environment of an unprivileged start names another file:
    // not of a set-user-ID or set-group-ID start, nor one with capabilities.
    bool privileged = getauxval(AT_SECURE) != 0;
    const char* named = privileged ? nullptr : getenv("VARNEL_PINMAP");
    const char* path = named != nullptr && named[0] != '\0' ? named : DEFAULT_MAP_FILE;
    std::string text;
    int err = readMapFile(path, text);
    if (err == ENOENT && path == DEFAULT_MAP_FILE)
        return defaultPinMap();
    if (err != 0) {
        fprintf(stderr, "varnel: %s: cannot read the pin map: %s\n", path, strerror(err));
        return PinMap();
    }
    PinMap map;
    PinMapFault fault;
    if (!parsePinMap(text, map, fault))
        fprintf(stderr, "varnel: %s:%d: malformed pin map: %s\n", path, fault.line,
                fault.reason.c_str());
    return map;
}

const PinMap& boardPinMap()
{
    // Never destroyed: nothing to tidy at exit, when a command has done.
    static const PinMap* map = new PinMap(loadPinMap());
    return *map;
}

}  // namespace linuxboard
