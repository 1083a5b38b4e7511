// The edge filter alone, on made-up timestamps.
#include "debounce.h"

#include <gtest/gtest.h>

namespace {

constexpr int64_t kMs = 1000000;

TEST(EdgeFilter, WithoutDebounceEveryChangeIsAnEdge)
{
    simboard::EdgeFilter filter(0, -5);
    std::vector<int> edges;
    for (int level : {1, 1, 0, 1, 0})
        filter.feed(5 * kMs, level, edges);
    EXPECT_EQ(edges, std::vector<int>({1, 0, 1, 0}));
    EXPECT_FALSE(filter.isWaiting());
}

TEST(EdgeFilter, ChangeCountsOnceHeldJudgedByTimestamps)
{
    simboard::EdgeFilter filter(0, 50);
    std::vector<int> edges;
    filter.feed(1000 * kMs, 1, edges);
    filter.settle(1049 * kMs, edges);
    EXPECT_TRUE(edges.empty());
    filter.settle(1050 * kMs, edges);
    EXPECT_EQ(edges, std::vector<int>({1}));
    filter.feed(2000 * kMs, 0, edges);
    filter.feed(2049 * kMs, 1, edges);  // 0 held 49 ms: swallowed
    filter.feed(2100 * kMs, 0, edges);  // 1 held, but no change from the last edge
    filter.feed(2150 * kMs, 1, edges);  // 0 held exactly 50 ms: an edge
    filter.feed(2160 * kMs, 0, edges);
    EXPECT_EQ(edges, std::vector<int>({1, 0}));
    filter.settle(9000 * kMs, edges);  // seen late: still judged by the stamps
    EXPECT_EQ(edges, std::vector<int>({1, 0}));
    EXPECT_FALSE(filter.isWaiting());
}

}  // namespace
