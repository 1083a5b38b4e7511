// Hardware PWM through /sys/class/pwm. The channel is switched off again
// when the process that started it ends, however it ends: a detached
// watcher holds one end of a socket pair whose other end only that process
// has, and switches the channel off when it sees the pair close. The
// watcher also listens under the channel's owner name, so that the next
// start on the channel (from any process) first has it switch off and end,
// and no late watcher switches off a newer PWM.
#ifndef LINUXBOARD_HARDPWM_H
#define LINUXBOARD_HARDPWM_H

#include <string>

namespace linuxboard {

struct HardPWM {
    int chip = -1;
    int channel = -1;
    std::string channelDir;  // .../pwmchipN/pwmM
    int link = -1;           // our end of the pair the watcher holds
};

// The root of the PWM class in sysfs.
extern const char PWM_SYSFS[];

// Exports the channel if need be, sets its period and duty cycle in ns from
// freq and duty, enables it and starts its watcher; 0 or an errno value.
int startHardPWM(const char* sysfsRoot, int chip, int channel, int freq, int duty, HardPWM& pwm);

// Whether the channel runs and its watcher is ours still.
bool isHardPWMRunning(const HardPWM& pwm);

// Switches the channel off and ends its watcher.
void stopHardPWM(HardPWM& pwm);

// Whether the channel is enabled, by us or anyone.
bool isPWMChannelEnabled(const char* sysfsRoot, int chip, int channel);

}  // namespace linuxboard

#endif
