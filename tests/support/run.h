// Running the built programs as a user would, and looking at what they did.
#ifndef PINCTL_TEST_RUN_H
#define PINCTL_TEST_RUN_H

#include <functional>
#include <string>
#include <vector>

struct Result {
    int status = -1;  // exit status, or 128 + the signal that ended it
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Runs argv to its end (killing it past the time limit) with its output in
// files, so that a worker that keeps the output open holds up nothing.
Result runCommand(const std::vector<std::string>& argv, int timeoutMs = 10000);
Result pinctl(const std::vector<std::string>& args, int timeoutMs = 10000);
Result pinsim(const std::vector<std::string>& args, int timeoutMs = 10000);

// pinctl with its output sent to a file that stays with the test: for
// starting workers that write to it later.
Result pinctlTo(const std::string& outFile, const std::vector<std::string>& args, int stdinFd = -1);

// The words that run pinctl with args, for wrapping in other commands.
std::vector<std::string> pinctlArgv(const std::vector<std::string>& args);

// The same, as one line for sh -c, each word quoted.
std::string pinctlLine(const std::vector<std::string>& args);
std::string pinsimLine(const std::vector<std::string>& args);

// Runs "sh -c '<before> pinctl <args> <after>'": pinctl as a script runs it.
Result pinctlInShell(const std::string& before, const std::vector<std::string>& args,
                     const std::string& after = "", int timeoutMs = 10000);

// Starts argv in the background; its id.
int startProcess(const std::vector<std::string>& argv);

// Forks a child that exits with body's result; its id.
int startInChild(const std::function<int()>& body);

// Waits for the child pid to end (killing it past the time limit); its
// exit status, or 128 + the signal that ended it.
int waitForExit(int pid, int timeoutMs = 10000);

// startInChild, then waitForExit.
int runInChild(const std::function<int()>& body, int timeoutMs = 10000);

// The other local user of the tests (nobody), against whom the tool must
// hold its ground.
const int OTHER_USER = 65534;

// In a forked child: becomes user uid (group too, no other groups).
bool becomeUser(int uid);

// Runs a shell command line as OTHER_USER (or the user uid).
Result runAsOtherUser(const std::string& line, int timeoutMs = 10000, int uid = OTHER_USER);

// Starts a process that, as user uid, opens path (creating it, mode
// 0644, if need be) and holds an fcntl lock on the whole file (a write
// lock where it may write, else a read lock) for the given time; its id
// once the lock is held, or -1.
int holdLock(const std::string& path, int uid, int seconds);

bool waitFor(const std::function<bool()>& cond, int timeoutMs = 5000);
void sleepMs(int ms);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);
bool fileExists(const std::string& path);

// The first line of a worker record: the recorded process id.
int recordedPID(const std::string& path);

// "pinsim show PIN": the pin's line on the simulated board.
std::string showPin(int pin);

// Holds the lock of the simulated board in /tmp/pinsim (made first if need
// be) for the given time, as holdLock does.
int holdBoard(int seconds);

#endif
