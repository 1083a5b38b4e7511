// The kernel's GPIO character devices (uAPI v2, <linux/gpio.h>): finding a
// pin's chip and line, reading line info and making line requests.
//
// Every function returns 0 or an errno value: ENODEV for a pin the map does
// not name, ENOENT for a missing chip, EINVAL for a line the chip does not
// have, EBUSY when the line is requested elsewhere.
#ifndef LINUXBOARD_CHIPS_H
#define LINUXBOARD_CHIPS_H

#include "pinmap.h"

#include <linux/gpio.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

namespace linuxboard {

// Where a pin is: its chip, open for the process's lifetime, and its line.
struct LineSite {
    int chipFd = -1;
    unsigned chip = 0;  // N of gpiochipN: one name for path and label
    unsigned line = 0;
    PinMapping mapping;
};

int findLine(int pin, LineSite& site);

// The chip of site has gone: its name is looked for afresh by the next
// findLine, and its descriptor (every site on it) is closed.
void forgetChip(const LineSite& site);

int readLineInfo(const LineSite& site, gpio_v2_line_info& info);

// A line's requested configuration.
struct LineConfig {
    uint64_t flags = 0;       // GPIO_V2_LINE_FLAG_*; 0 keeps the direction as it is
    int level = 0;            // with GPIO_V2_LINE_FLAG_OUTPUT
    uint32_t debounceUs = 0;  // with edge flags; 0 for none
};

// Requests the line under our consumer label; fd gets the request's
// descriptor (close-on-exec, as the kernel makes it).
// eventBuffer is the number of edge events the kernel is asked to buffer.
int requestLine(const LineSite& site, const LineConfig& config, uint32_t eventBuffer, int& fd);
// These three make one ioctl each and nothing else: the keeper uses them.
int configureLine(int fd, const LineConfig& config);
int readLevel(int fd, int& level);
int driveLevel(int fd, int level);

// Whether a line in use carries our consumer label (trust.h), which every
// request of ours does: a hint, which anyone may forge.
bool isOurConsumer(const gpio_v2_line_info& info);

}  // namespace linuxboard

#endif
