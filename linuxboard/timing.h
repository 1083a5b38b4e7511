// Turning the tool's figures into the kernel's and the PWM's.
#ifndef LINUXBOARD_TIMING_H
#define LINUXBOARD_TIMING_H

#include <cstdint>

namespace linuxboard {

// A PWM period and its high part, in nanoseconds.
struct PWMTimes {
    long long periodNs = 0;
    long long highNs = 0;
};

// For freq >= 1 Hz and duty 0 to 100 %.
PWMTimes pwmTimes(int freq, int duty);

// The kernel's debounce period in microseconds for the tool's
// milliseconds: 0 (none) for 0 or less, at most what the kernel's field holds.
uint32_t debounceMicroseconds(long ms);

}  // namespace linuxboard

#endif
