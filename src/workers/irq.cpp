// startIRQ: a worker that runs a shell command on each interrupt of a pin.
#include "worker.h"
#include "workers.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

static const char DEBUG_PREFIX[] = "[debug]";

// text as one word of the shell: in single quotes, each of its own quotes
// written '\''.
static std::string quoteForShell(const char* text)
{
    std::string quoted = "'";
    for (const char* c = text; *c != '\0'; c++)
        quoted += *c == '\'' ? std::string("'\\''") : std::string(1, *c);
    return quoted + "'";
}

// Starts the program path with argv as a shell started by hand would run,
// and waits for it: in a process group of its own, so that a command that
// signals its group (a script's "trap 'kill 0' EXIT") does not end the
// worker, and with no signal blocked or ignored. False if it did not start.
static bool runProgram(const char* path, const std::vector<const char*>& argv, int& status)
{
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0)
        return false;
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                        POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    pid_t pid;
    int err =
        posix_spawn(&pid, path, nullptr, &attr, const_cast<char* const*>(argv.data()), environ);
    posix_spawnattr_destroy(&attr);
    if (err != 0)
        return false;
    status = -1;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return true;
    }
    return true;
}

// Runs line through the system shell, as system does, and waits for it.
static int runShell(const std::string& line)
{
    int status = -1;
    if (!runProgram("/bin/sh", {"sh", "-c", line.c_str(), nullptr}, status))
        return -1;
    return status;
}

// A command that is one program named by its path, followed by plain
// words, is what the shell would exec as it stands: split here into the
// same words, it needs no shell. Anything the shell would read otherwise
// (quotes, variables, patterns, redirections, operators, builtins, a
// search of PATH) is not plain.
static bool splitPlain(const char* command, std::vector<std::string>& words)
{
    static const char PLAIN[] = "abcdefghijklmnopqrstuvwxyz"
                                "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                "0123456789/._-+,:@%=";
    std::string word;
    for (const char* c = command;; c++) {
        if (*c == ' ' || *c == '\0') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
            if (*c == '\0')
                break;
        } else if (strchr(PLAIN, *c)) {
            word += *c;
        } else {
            return false;
        }
    }
    return !words.empty() && words[0].find('/') != std::string::npos &&
           words[0].find('=') == std::string::npos;
}

// Whether the kernel itself runs the file at path: executable by us (by
// our effective ids, as exec judges) and either a program or a script that
// names its interpreter. A missing file or a script without a #! line is
// the shell's to run and to report; it is told here, before the start,
// rather than from the start's own error, which some C libraries and
// emulators do not pass back.
static bool isExecutable(const char* path)
{
    if (faccessat(AT_FDCWD, path, X_OK, AT_EACCESS) != 0)
        return false;
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    char head[4] = {};
    ssize_t n = read(fd, head, sizeof head);
    close(fd);
    return (n >= 2 && memcmp(head, "#!", 2) == 0) || (n == 4 && memcmp(head, "\177ELF", 4) == 0);
}

// Runs a plain command without the shell; false if it did not start
// (missing, not executable, a script the shell would read itself): the
// shell then runs it and reports it.
static bool runPlain(const std::vector<std::string>& words, int& status)
{
    if (!isExecutable(words[0].c_str()))
        return false;
    std::vector<const char*> argv;
    argv.reserve(words.size() + 1);
    for (const std::string& w : words)
        argv.push_back(w.c_str());
    argv.push_back(nullptr);
    return runProgram(argv[0], argv, status);
}

int GPIO_Irq_Command_Handler_Object::handleIrq(int pin, GPIO_Irq_Type type)
{
    // An edge that comes while the start is still naming the record runs
    // its command once the worker is live, and never if it is not.
    awaitLive();
    std::string line;
    if (strncmp(command, DEBUG_PREFIX, strlen(DEBUG_PREFIX)) == 0) {
        // The rest goes through eval: nothing, or a mere comment, after
        // the prefix is then a command too.
        line = "echo 'GPIO Irq Debug: Pin=" + std::to_string(pin) +
               " Type=" + (type == GPIO_IRQ_RISING ? "Rising' && eval " : "Falling' && eval ") +
               quoteForShell(command + strlen(DEBUG_PREFIX));
    } else {
        std::vector<std::string> words;
        int status = -1;
        if (splitPlain(command, words) && runPlain(words, status)) {
            fflush(stdout);
            return status;
        }
        line = command;
    }
    int status = runShell(line);
    fflush(stdout);
    return status;
}

static int setupIRQ(int pin, GPIO_Irq_Type type, const char* cmd, int debounce)
{
    // The handler and the handle live as long as the worker.
    GPIO_Irq_Command_Handler_Object* handler = new GPIO_Irq_Command_Handler_Object;
    snprintf(handler->command, sizeof handler->command, "%s", cmd);
    GPIOPin* gpio = new GPIOPin(pin);
    gpio->setDirection(GPIO_INPUT);
    gpio->setIrq(type, handler, debounce);
    int r = gpio->getLastResult();
    if (r != 0)
        printf("**ERROR starting IRQ on pin:%d with command:%s err=%d\n", pin, cmd, r);
    return r;
}

// The library calls the handler from a thread of its own; this one only
// waits to be stopped.
static void runIRQ()
{
    for (;;)
        sleepTenSeconds();
}

int startIRQ(int pin, GPIO_Irq_Type type, char* cmd, int debounce)
{
    return startWorker({IRQ_WORKER, pin, [=] { return setupIRQ(pin, type, cmd, debounce); }, runIRQ,
                        [=](int pid, RecordDraft& draft) {
                            return noteChildPIDIRQ(pin, pid, type, cmd, debounce, draft);
                        }});
}
