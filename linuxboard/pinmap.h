// The pin map: which chip line (and, optionally, which PWM channel) each
// board pin is. Read from the file named by VARNEL_PINMAP, else from
// /etc/varnel/pinmap; without that file pins 0 to 26 are lines 0 to 26 of
// /dev/gpiochip0.
//
// One line per pin, words separated by blanks, '#' starting a comment:
//     PIN CHIP LINE [PWMCHIP CHANNEL]
// CHIP is a device path (it starts with '/') or a chip label; PWMCHIP is the
// N of /sys/class/pwm/pwmchipN.
#ifndef LINUXBOARD_PINMAP_H
#define LINUXBOARD_PINMAP_H

#include <map>
#include <string>

namespace linuxboard {

struct PinMapping {
    std::string chip;  // "/dev/gpiochipN" or a chip label
    unsigned line = 0;
    int pwmChip = -1;  // -1: no hardware PWM for this pin
    int pwmChannel = -1;
};

struct PinMap {
    bool valid = false;  // false: a malformed map, no pin is usable
    std::map<int, PinMapping> pins;
};

// What a malformed map is faulted for: the 1-based line number and why.
struct PinMapFault {
    int line = 0;
    std::string reason;
};

// Parses a map file's text. On a malformed line returns false, fills
// fault and leaves map empty and not valid.
bool parsePinMap(const std::string& text, PinMap& map, PinMapFault& fault);

// The map used without a file.
PinMap defaultPinMap();

// The map of this process, read once. A malformed or unreadable file is
// reported in one line on standard error, once, and maps no pin.
const PinMap& boardPinMap();

}  // namespace linuxboard

#endif
