#include "debounce.h"

namespace simboard {
namespace {

// Long enough to be "forever" for a debounce, short enough that adding it
// to a CLOCK_MONOTONIC stamp cannot overflow.
constexpr long long kMaxDebounceMs = 1000LL * 1000 * 1000 * 1000;  // ~31 years

}  // namespace

EdgeFilter::EdgeFilter(int initialLevel, long long debounceMs)
    : level_(initialLevel),
      holdNs_(debounceMs <= 0
                  ? 0
                  : (debounceMs > kMaxDebounceMs ? kMaxDebounceMs : debounceMs) * 1000000LL)
{
}

void EdgeFilter::commit(int level, std::vector<int>& edges)
{
    if (level == level_)
        return;
    level_ = level;
    edges.push_back(level);
}

void EdgeFilter::feed(int64_t ns, int level, std::vector<int>& edges)
{
    if (holdNs_ == 0) {
        commit(level, edges);
        return;
    }
    if (waiting_ && ns >= deadline())
        commit(pendingLevel_, edges);
    waiting_ = true;
    pendingNs_ = ns;
    pendingLevel_ = level;
}

void EdgeFilter::settle(int64_t now, std::vector<int>& edges)
{
    if (!waiting_ || now < deadline())
        return;
    waiting_ = false;
    commit(pendingLevel_, edges);
}

}  // namespace simboard
