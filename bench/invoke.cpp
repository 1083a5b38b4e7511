// bench_invoke PLAN ROUNDS: times command invocations against a floor.
//
// PLAN has one entry a line, "label|goal|setup|command|teardown", commands
// as blank-separated words (setup and teardown may be empty and are run
// untimed just before and after the timed command). The entry whose goal
// is "floor" is the reference. Each round runs every entry once, in an
// order shuffled with a fixed seed, so the machine's drift reaches all
// entries alike. For each entry one line goes to standard output:
//   label <TAB> median ms <TAB> ratio of medians to the floor <TAB> goal
// A command that ends by a signal or with status 255 (rejected command
// line) stops the run with status 1.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Words = std::vector<std::string>;

struct Entry {
    std::string label;
    std::string goal;
    Words setup, command, teardown;
    std::vector<double> ms;
};

Words splitWords(const std::string& text)
{
    Words words;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(' ', pos);
        if (end == std::string::npos)
            end = text.size();
        if (end > pos)
            words.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return words;
}

bool readPlan(const char* path, std::vector<Entry>& entries)
{
    FILE* f = fopen(path, "r");
    if (!f)
        return false;
    char line[4096];
    while (fgets(line, sizeof line, f)) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        if (text.empty() || text[0] == '#')
            continue;
        std::vector<std::string> fields;
        size_t pos = 0;
        for (;;) {
            size_t bar = text.find('|', pos);
            fields.push_back(
                text.substr(pos, bar == std::string::npos ? std::string::npos : bar - pos));
            if (bar == std::string::npos)
                break;
            pos = bar + 1;
        }
        if (fields.size() != 5) {
            fprintf(stderr, "bench_invoke: bad entry: %s\n", text.c_str());
            fclose(f);
            return false;
        }
        Entry e;
        e.label = fields[0];
        e.goal = fields[1];
        e.setup = splitWords(fields[2]);
        e.command = splitWords(fields[3]);
        e.teardown = splitWords(fields[4]);
        entries.push_back(e);
    }
    fclose(f);
    return true;
}

double nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Runs words with all output to /dev/null; returns the wait status, or -1.
int runQuietly(const Words& words, posix_spawn_file_actions_t* quiet)
{
    std::vector<char*> argv;
    for (const std::string& w : words)
        argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, argv[0], quiet, nullptr, argv.data(), environ) != 0)
        return -1;
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

bool isFault(int status)
{
    return status < 0 || WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 255);
}

bool runChecked(const Words& words, posix_spawn_file_actions_t* quiet)
{
    if (words.empty())
        return true;
    int status = runQuietly(words, quiet);
    if (isFault(status)) {
        fprintf(stderr, "bench_invoke: %s failed (status %d)\n", words[0].c_str(), status);
        return false;
    }
    return true;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: bench_invoke PLAN ROUNDS\n");
        return 2;
    }
    std::vector<Entry> entries;
    if (!readPlan(argv[1], entries))
        return 2;
    int rounds = atoi(argv[2]);
    auto floorAt = std::find_if(entries.begin(), entries.end(),
                                [](const Entry& e) { return e.goal == "floor"; });
    if (rounds < 1 || floorAt == entries.end()) {
        fprintf(stderr, "bench_invoke: need ROUNDS >= 1 and a floor entry\n");
        return 2;
    }

    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    std::vector<size_t> order(entries.size());
    for (size_t i = 0; i < order.size(); i++)
        order[i] = i;
    std::mt19937 shuffler(12345);
    for (int r = 0; r < rounds; r++) {
        std::shuffle(order.begin(), order.end(), shuffler);
        for (size_t i : order) {
            Entry& e = entries[i];
            if (!runChecked(e.setup, &quiet))
                return 1;
            double start = nowMs();
            int status = runQuietly(e.command, &quiet);
            double took = nowMs() - start;
            if (isFault(status)) {
                fprintf(stderr, "bench_invoke: '%s' failed (status %d)\n", e.label.c_str(), status);
                return 1;
            }
            e.ms.push_back(took);
            if (!runChecked(e.teardown, &quiet))
                return 1;
        }
    }

    double floorMs = median(floorAt->ms);
    for (const Entry& e : entries) {
        double m = median(e.ms);
        printf("%s\t%.3f\t%.2f\t%s\n", e.label.c_str(), m, m / floorMs, e.goal.c_str());
    }
    return 0;
}
