// bench_edges on the simulated board: PIN is a pin number, driven as
// `pinsim level` drives it.
#include "edge_driver.h"

#include "board.h"
#include "outside.h"

#include <cstdlib>

int readLevel(const char* pin, int& level)
{
    int p = atoi(pin);
    return simboard::useBoard([&](simboard::BoardState& b, simboard::BoardSite&, bool&) {
        level = b.pins[p].outside;
        return 0;
    });
}

int driveLevel(const char* pin, int level)
{
    return simboard::applyLevel(atoi(pin), level);
}
