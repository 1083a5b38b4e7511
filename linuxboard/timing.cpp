#include "timing.h"

namespace linuxboard {

static const long long NS_PER_S = 1000000000LL;

PWMTimes pwmTimes(int freq, int duty)
{
    PWMTimes t;
    if (freq < 1 || duty < 0 || duty > 100)
        return t;
    t.periodNs = NS_PER_S / freq;
    t.highNs = t.periodNs * duty / 100;
    return t;
}

uint32_t debounceMicroseconds(long ms)
{
    if (ms <= 0)
        return 0;
    if ((unsigned long)ms > UINT32_MAX / 1000)
        return UINT32_MAX;
    return (uint32_t)(ms * 1000);
}

}  // namespace linuxboard
