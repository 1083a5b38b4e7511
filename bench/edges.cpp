// bench_edges PIN COUNT STAMPS GAP_MS [LATENCIES]: interrupt latency.
//
// Drives COUNT edges on PIN (alternately high and low, starting from the
// pin's present level) through the driver linked in: the simulated board's
// (edge_simboard.cpp) or a gpio-sim line's pull (edge_pull.cpp). The pin's
// interrupt command is expected to append its start
// time to STAMPS (bench_stamp). After each edge the driver waits for that
// stamp (at most a second), then GAP_MS more, so commands never pile up.
// Each edge is paired with the first stamp taken after it and before the
// next edge; an edge without one is lost. Prints one line:
//   median ms <TAB> p99 ms <TAB> max ms <TAB> edges lost <TAB> edges
// and appends each paired latency (ms, one a line) to LATENCIES if named,
// for figures over several runs.
#include "edge_driver.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <unistd.h>
#include <vector>

namespace {

long long nowNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

void sleepMs(int ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Reads the stamps appended to path since the last call.
class StampReader {
public:
    explicit StampReader(const char* path) : path_(path) {}

    void readNew(std::vector<long long>& stamps)
    {
        FILE* f = fopen(path_, "r");
        if (!f)
            return;
        fseek(f, offset_, SEEK_SET);
        char line[64];
        while (fgets(line, sizeof line, f)) {
            std::string text = partial_ + line;
            if (text.back() != '\n') {
                partial_ = text;
                continue;
            }
            partial_.clear();
            stamps.push_back(atoll(text.c_str()));
        }
        offset_ = ftell(f);
        fclose(f);
    }

private:
    const char* path_;
    long offset_ = 0;
    std::string partial_;
};

double percentile(const std::vector<double>& sorted, double p)
{
    size_t rank = (size_t)(p / 100 * sorted.size() + 0.999999);
    if (rank < 1)
        rank = 1;
    return sorted[std::min(rank, sorted.size()) - 1];
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5 && argc != 6) {
        fprintf(stderr, "usage: bench_edges PIN COUNT STAMPS GAP_MS [LATENCIES]\n");
        return 2;
    }
    const char* pin = argv[1];
    int count = atoi(argv[2]);
    const char* stampPath = argv[3];
    int gapMs = atoi(argv[4]);

    int level = 0;
    if (int err = readLevel(pin, level)) {
        fprintf(stderr, "bench_edges: reading the level of %s: error %d\n", pin, err);
        return 1;
    }

    // The folder of STAMPS is watched, so the file need not exist yet.
    std::string dir = stampPath;
    dir = dir.find('/') == std::string::npos ? "." : dir.substr(0, dir.rfind('/'));
    int watch = inotify_init1(IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, dir.c_str(), IN_MODIFY | IN_CREATE) < 0) {
        perror("bench_edges: inotify");
        return 1;
    }

    StampReader reader(stampPath);
    std::vector<long long> edges, stamps;
    for (int i = 0; i < count; i++) {
        level = !level;
        long long at = nowNs();
        if (int err = driveLevel(pin, level)) {
            fprintf(stderr, "bench_edges: driving %s: error %d\n", pin, err);
            return 1;
        }
        edges.push_back(at);
        long long giveUp = at + 1000000000LL;
        for (;;) {
            reader.readNew(stamps);
            if (!stamps.empty() && stamps.back() >= at)
                break;
            long long left = giveUp - nowNs();
            if (left <= 0)
                break;
            struct pollfd p = {watch, POLLIN, 0};
            if (poll(&p, 1, (int)(left / 1000000) + 1) > 0) {
                char events[4096];
                (void)!read(watch, events, sizeof events);
            }
        }
        sleepMs(gapMs);
    }
    // Stragglers still count as delivered, though late.
    sleepMs(1000);
    reader.readNew(stamps);
    std::sort(stamps.begin(), stamps.end());

    std::vector<double> latencies;
    size_t s = 0;
    for (size_t i = 0; i < edges.size(); i++) {
        long long next = i + 1 < edges.size() ? edges[i + 1] : (1LL << 62);
        while (s < stamps.size() && stamps[s] < edges[i])
            s++;
        if (s < stamps.size() && stamps[s] < next)
            latencies.push_back((stamps[s] - edges[i]) / 1e6);
    }
    // Every edge is due one run of the command: a missing run is a lost edge.
    long lost = (long)edges.size() - (long)stamps.size();
    if (lost < 0)
        lost = 0;
    if (argc == 6) {
        FILE* out = fopen(argv[5], "a");
        if (!out) {
            perror("bench_edges: LATENCIES");
            return 1;
        }
        for (double ms : latencies)
            fprintf(out, "%.3f\n", ms);
        if (fclose(out) != 0) {
            perror("bench_edges: LATENCIES");
            return 1;
        }
    }
    std::sort(latencies.begin(), latencies.end());
    if (latencies.empty()) {
        printf("-\t-\t-\t%ld\t%d\n", lost, count);
        return 0;
    }
    printf("%.3f\t%.3f\t%.3f\t%ld\t%d\n", percentile(latencies, 50), percentile(latencies, 99),
           latencies.back(), lost, count);
    return 0;
}
