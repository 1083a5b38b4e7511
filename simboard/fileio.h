// Small file helpers for the simulated board. Each returns 0 or an errno.
#ifndef SIMBOARD_FILEIO_H
#define SIMBOARD_FILEIO_H

#include "waits.h"

#include <string>

namespace simboard {

// The result code of a failed call: errno, or EIO if the call set none.
int errnoOrEio();

// Reads the whole of the file open at fd, from its start.
int readAll(int fd, std::string& text);

// Writes text over the start of the file open at fd.
int writeAt(int fd, const std::string& text);

// Writes all of data to a pipe open with O_NONBLOCK, waiting while it is
// full until deadline (then ETIMEDOUT). A reader that is gone gives EPIPE,
// without a SIGPIPE reaching the process.
int writeToPipe(int fd, const std::string& data, const Deadline& deadline);

// Opens with O_CLOEXEC added, retrying EINTR; returns -1 with errno set.
int openFile(const std::string& path, int flags, int mode = 0644);

}  // namespace simboard

#endif
