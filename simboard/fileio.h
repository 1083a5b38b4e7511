// Small file helpers for the simulated board. Each returns 0 or an errno.
#ifndef SIMBOARD_FILEIO_H
#define SIMBOARD_FILEIO_H

#include <string>

namespace simboard {

// Creates dir and its missing parents (mode 0755 before the umask).
int makeDirs(const std::string& dir);

// Reads the whole file; a missing file reads as empty.
int readWholeFile(const std::string& path, std::string& text);

// Writes text to a temporary beside path and renames it over path, so a
// reader never sees half a file even if the writer dies mid-way.
int replaceFile(const std::string& path, const std::string& text);

// Writes all of data, retrying short writes and EINTR.
int writeFully(int fd, const std::string& data);

// Like writeFully, for a pipe whose reader may be gone: EPIPE is returned
// without a SIGPIPE reaching the process.
int writeToPipe(int fd, const std::string& data);

// Sets or clears O_NONBLOCK.
int setNonBlocking(int fd, bool on);

// Opens with O_CLOEXEC added, retrying EINTR; returns -1 with errno set.
int openFile(const std::string& path, int flags, int mode = 0644);

}  // namespace simboard

#endif
