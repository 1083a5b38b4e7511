// pinsim: plays the world outside the simulated board.
//
//   pinsim show [PIN] | level PIN 0|1 | fail PIN CODE | stop-pwm PIN | reset
//   pinsim run COMMAND [ARG...]
//
// Exit status: 0 done, 1 board fault, 2 bad arguments; run: COMMAND's, or
// 126 or 127 when it cannot be run. Errors are one line on stderr starting
// "pinsim: ".
#include "outside.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

const char kUsage[] = "usage: pinsim show [PIN] | level PIN 0|1 | fail PIN CODE | stop-pwm PIN | "
                      "reset | run COMMAND [ARG...]";

constexpr int kBoardFault = 1;
constexpr int kBadArguments = 2;

int failArguments(const std::string& message)
{
    std::fprintf(stderr, "pinsim: %s\n", message.c_str());
    return kBadArguments;
}

// Reads text as a whole decimal int; false if it is anything else or too big.
bool parseInt(const char* text, int& value)
{
    const char* digits = (*text == '-') ? text + 1 : text;
    if (*digits < '0' || *digits > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    if (errno == ERANGE || *end != '\0' || v < INT_MIN || v > INT_MAX)
        return false;
    value = static_cast<int>(v);
    return true;
}

bool parsePin(const char* text, int& pin)
{
    return parseInt(text, pin) && simboard::isUsablePin(pin);
}

int reportBoard(int err)
{
    if (err == 0)
        return 0;
    std::fprintf(stderr, "pinsim: board fault in %s: %s\n", simboard::currentBoardDir().c_str(),
                 std::strerror(err));
    return kBoardFault;
}

int runCommand(const std::string& command, int argc, char** args)
{
    if (command == "show") {
        if (argc > 1)
            return failArguments("show takes at most one PIN");
        int pin = -1;
        if (argc == 1 && !parsePin(args[0], pin))
            return failArguments(std::string("not a usable pin: ") + args[0]);
        std::string text;
        if (int err = simboard::describePins(pin, text))
            return reportBoard(err);
        std::fputs(text.c_str(), stdout);
        return std::fflush(stdout) == 0 ? 0 : kBoardFault;
    }
    if (command == "reset") {
        if (argc != 0)
            return failArguments("reset takes no arguments");
        return reportBoard(simboard::resetBoard());
    }
    if (command != "level" && command != "fail" && command != "stop-pwm")
        return failArguments("unknown command: " + command);
    const int wanted = command == "stop-pwm" ? 1 : 2;
    if (argc != wanted)
        return failArguments(command + (wanted == 1 ? " takes PIN" : " takes PIN and a value"));
    int pin = -1;
    if (!parsePin(args[0], pin))
        return failArguments(std::string("not a usable pin: ") + args[0]);
    if (command == "stop-pwm")
        return reportBoard(simboard::stopPWMFromOutside(pin));
    int value = 0;
    if (!parseInt(args[1], value))
        return failArguments(std::string("not a whole number: ") + args[1]);
    if (command == "fail")
        return reportBoard(simboard::injectFail(pin, value));
    if (value != 0 && value != 1)
        return failArguments(std::string("level must be 0 or 1: ") + args[1]);
    return reportBoard(simboard::applyLevel(pin, value));
}

// run: COMMAND with this board's libvarnel.so first in the loader's path.
// Installed, that library lies in a folder of its own where the loader
// never looks, so that it cannot take the place of a real board's: a pinctl
// started here, and everything it starts, drives the simulated board.
int runOnBoard(char** args)
{
    if (args[0] == nullptr)
        return failArguments("run takes a COMMAND");
    const std::string folder = simboard::libraryFolder();
    if (folder.empty()) {
        std::fprintf(stderr, "pinsim: cannot tell where the board's libvarnel.so is\n");
        return kBoardFault;
    }
    // The loader splits its path at ':' and ';' and expands '$' words, and
    // an empty entry would be the current folder: none of them is added.
    if (folder.find_first_of(":;$") != std::string::npos) {
        std::fprintf(stderr, "pinsim: cannot put %s in LD_LIBRARY_PATH\n", folder.c_str());
        return kBoardFault;
    }
    const char* old = std::getenv("LD_LIBRARY_PATH");
    const std::string path = old != nullptr && *old != '\0' ? folder + ":" + old : folder;
    if (::setenv("LD_LIBRARY_PATH", path.c_str(), 1) != 0) {
        std::fprintf(stderr, "pinsim: out of memory\n");
        return kBoardFault;
    }
    ::execvp(args[0], args);
    const int err = errno;
    std::fprintf(stderr, "pinsim: cannot run %s: %s\n", args[0], std::strerror(err));
    return err == ENOENT ? 127 : 126;
}

}  // namespace

int main(int argc, char** argv)
{
    // Before anything else: the command inherits our signal dispositions.
    if (argc >= 2 && std::strcmp(argv[1], "run") == 0) {
        try {
            return runOnBoard(argv + 2);
        } catch (...) {
            std::fprintf(stderr, "pinsim: out of memory\n");
            return kBoardFault;
        }
    }
    // A FIFO whose reader just died must not kill us mid-write.
    std::signal(SIGPIPE, SIG_IGN);
    if (argc < 2) {
        std::fprintf(stderr, "%s\n", kUsage);
        return kBadArguments;
    }
    try {
        return runCommand(argv[1], argc - 2, argv + 2);
    } catch (...) {
        std::fprintf(stderr, "pinsim: out of memory\n");
        return kBoardFault;
    }
}
