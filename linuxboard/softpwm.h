// Software PWM: a thread of the library toggling a requested output line,
// sleeping to absolute times (clock_nanosleep, TIMER_ABSTIME) so that the
// period does not drift. Its jitter is the scheduler's wake-up latency.
#ifndef LINUXBOARD_SOFTPWM_H
#define LINUXBOARD_SOFTPWM_H

namespace linuxboard {

// Above this a thread toggling a line would need more CPU than it is worth.
const int SOFT_PWM_MAX_HZ = 10000;

struct SoftPWM;

// Starts toggling the line at fd (which stays the caller's) for duty
// strictly between 0 and 100; 0 or an errno value.
int startSoftPWM(int fd, int freq, int duty, SoftPWM*& pwm);

// Stops the thread (within one high or low phase) and frees pwm; the line
// is left at the level it had.
void stopSoftPWM(SoftPWM* pwm);

// False once the thread has ended on a failed write to the line.
bool isSoftPWMRunning(const SoftPWM* pwm);

}  // namespace linuxboard

#endif
