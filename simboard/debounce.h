// Turns the level changes of a pin, each stamped with the CLOCK_MONOTONIC
// time it happened, into the edges an interrupt reports.
//
// Without debounce every change of level is an edge. With a debounce of D
// ms a change counts only once the new level has held for D ms: a change
// followed by another within D ms is swallowed, and a held level makes an
// edge only if it differs from the last one that counted. Decisions use the
// stamps, not the time a change is seen, so changes read late in a batch
// (after a slow handler) are judged as they happened.
#ifndef SIMBOARD_DEBOUNCE_H
#define SIMBOARD_DEBOUNCE_H

#include <cstdint>
#include <vector>

namespace simboard {

class EdgeFilter {
public:
    EdgeFilter(int initialLevel, long long debounceMs);

    // Takes the change to level at time ns; appends each level that now
    // counts as an edge (1 rising, 0 falling) to edges.
    void feed(int64_t ns, int level, std::vector<int>& edges);

    // Commits the waiting change if it has held until now.
    void settle(int64_t now, std::vector<int>& edges);

    bool isWaiting() const { return waiting_; }
    // Time at which the waiting change will have held long enough.
    int64_t deadline() const { return pendingNs_ + holdNs_; }

private:
    void commit(int level, std::vector<int>& edges);

    int level_;       // last level that counted
    int64_t holdNs_;  // 0: no debounce
    bool waiting_ = false;
    int64_t pendingNs_ = 0;
    int pendingLevel_ = 0;
};

}  // namespace simboard

#endif
