// Small file helpers for the simulated board. Each returns 0 or an errno.
#ifndef SIMBOARD_FILEIO_H
#define SIMBOARD_FILEIO_H

#include <string>

namespace simboard {

// Creates dir and its missing parents (mode 0755 before the umask).
int makeDirs(const std::string& dir);

// Reads the whole of the file open at fd, from its start.
int readAll(int fd, std::string& text);

// Writes text over the start of the file open at fd.
int writeAt(int fd, const std::string& text);

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
