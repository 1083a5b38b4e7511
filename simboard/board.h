// The simulated board's shared state: one text file per state folder,
// read and rewritten whole under a lock, so that every process on the
// machine sees what the others did.
//
// Every function here returns 0 on success and an errno-style code on a
// board fault (EIO where the failing step sets no errno; ETIMEDOUT when a
// lock stays held past its deadline, see waits.h; ENOTDIR or EPERM for a
// folder or file another user could have prepared, see folder.h). None of
// them throws, writes to stderr or keeps a thread busy.
#ifndef SIMBOARD_BOARD_H
#define SIMBOARD_BOARD_H

#include "waits.h"

#include <sys/types.h>

#include <functional>
#include <string>

namespace simboard {

constexpr int kPinCount = 27;  // pins 0..26; only some are usable

struct PinState {
    int direction = 0;  // 0 input, 1 output
    int driven = 0;     // level that set() drives
    int outside = 0;    // level applied from outside (pinsim level)
    int fail = 0;       // injected result code; 0 = healthy
    int pwmOn = 0;
    int pwmFreq = 0;
    int pwmDuty = 0;
    pid_t pwmOwner = 0;
    int irqType = 0;  // 0 none, else GPIO_Irq_Type
    pid_t irqOwner = 0;
    long long irqDebounce = 0;  // ms
};

struct BoardState {
    PinState pins[kPinCount];
};

// The open files of one state folder, kept for the process's lifetime.
struct BoardSite {
    std::string dir;
    int dirFd = -1;          // the folder itself, checked (folder.h)
    int lockFd = -1;         // $DIR/lock: byte 0 state, byte 1 + PIN edge writers
    int ownersFd = -1;       // $DIR/owners: one lock byte per owner pid
    pid_t ownerLockPid = 0;  // pid that holds its byte through ownersFd
    dev_t lockDev = 0;       // identity of the file open at lockFd
    ino_t lockIno = 0;
};

bool isUsablePin(int pin);

// The state folder currently named by PINSIM_DIR (or the default); a
// relative one against the working folder of its first use. Called under
// the board's lock, or by a program of one thread.
std::string currentBoardDir();

// Text form of the state file; parseBoard returns false on anything malformed.
std::string formatBoard(const BoardState& board);
bool parseBoard(const std::string& text, BoardState& board);

// Reads, and may edit, the current state: runs use on it under the board
// lock (process-wide and machine-wide), waited for until deadline. The
// state is written back only if use returns 0 and sets changed. Returns
// use's code, or the board fault that stopped it.
using BoardUse = std::function<int(BoardState& board, BoardSite& site, bool& changed)>;
int useBoard(const BoardUse& use, const Deadline& deadline = Deadline());

// Like useBoard, but does not read the old state: use starts from a fresh
// board and the result is always written (so it mends a corrupt file).
int rewriteBoard(const BoardUse& use);

// Serialises the writers of one pin's interrupt edges across processes and
// threads, without holding the state lock while an edge write waits. fd is
// what unlockEdgeWriters needs back.
int lockEdgeWriters(int pin, const Deadline& deadline, int& fd);
void unlockEdgeWriters(int pin, int fd);

// Owner liveness (owners.cpp). takeOwnership marks this process as a live
// owner in site's folder until it exits; isLiveOwner tells whether pid is
// one (an exited process, zombie or not, never is).
int takeOwnership(BoardSite& site);
bool isLiveOwner(const BoardSite& site, pid_t pid);

}  // namespace simboard

#endif
