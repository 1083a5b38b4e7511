// The state folder and its files, opened so that no other local user can
// have prepared them. The folder must be a real directory (not a link),
// owned by this process's effective user or by root, and writable by no
// one else unless it has the sticky bit (then others can add names to it
// but not replace ours). Its files are opened through the folder's
// descriptor without following links, and must be of the expected type,
// owned by the same users, writable by no one else and have no second
// link. They are made with mode 0600 (whatever the umask): no other user
// can write, lock or feed them. The folders above it must be root's or ours and not
// writable by others unless sticky, and any link on the way root's or ours.
//
// Refusals: ENOTDIR when the folder is a link or not a directory, EPERM
// when it, a folder above it or a file in it fails the ownership, mode or
// type checks (a link in place of a file included). Other errors are the system's.
#ifndef SIMBOARD_FOLDER_H
#define SIMBOARD_FOLDER_H

#include <sys/types.h>

#include <string>

namespace simboard {

// Creates dir (and its missing parents) if need be, and opens and checks it.
int openFolder(const std::string& dir, int& fd);

// Opens name in the folder open at dirFd with flags (O_CREAT makes a
// regular file of mode 0600); type is S_IFREG or S_IFIFO. The descriptor
// is close-on-exec and never one of 0, 1 and 2.
int openInFolder(int dirFd, const std::string& name, int flags, mode_t type, int& fd);

// Makes a FIFO of mode 0600 in the folder.
int makeFIFO(int dirFd, const std::string& name);

}  // namespace simboard

#endif
