// Hardware PWM through /sys/class/pwm. A channel runs only as long as the
// process that started it: the keeper watches it for that process
// (registration.h) and switches it off once the process ends, however it
// ends. The next start on the channel, from any process, first has the
// keeper switch it off and drop its watch, so that no late watch switches
// off a newer PWM; and whatever else takes the pin over switches the
// channel off directly.
#ifndef LINUXBOARD_HARDPWM_H
#define LINUXBOARD_HARDPWM_H

#include "deadline.h"

#include <string>

namespace linuxboard {

struct Registration;

struct HardPWM {
    int chip = -1;
    int channel = -1;
    std::string channelDir;  // .../pwmchipN/pwmM
    int enable = -1;         // the channel's "enable" file, while it runs
    Registration* watch = nullptr;
};

// The root of the PWM class in sysfs.
extern const char PWM_SYSFS[];

// Exports the channel if need be, sets its period and duty cycle in ns from
// freq and duty, has the keeper watch it and enables it; 0 or an errno
// value (the channel is then off).
int startHardPWM(const char* sysfsRoot, int chip, int channel, int freq, int duty, HardPWM& pwm,
                 const Deadline& d);

// Whether the channel runs and is still ours (no newer start took it).
bool isHardPWMRunning(const HardPWM& pwm);

// Switches our channel off and ends its watch.
void stopHardPWM(HardPWM& pwm);

// Switches a channel off, whoever started it, if it is exported.
void switchPWMChannelOff(const char* sysfsRoot, int chip, int channel);

// Whether the channel is enabled, by us or anyone.
bool isPWMChannelEnabled(const char* sysfsRoot, int chip, int channel);

}  // namespace linuxboard

#endif
