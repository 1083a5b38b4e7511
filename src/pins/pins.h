// One-shot operations on a pin: set and read its level and direction, and
// report on it.
#ifndef PINCTL_PINS_H
#define PINCTL_PINS_H

#include <varnel.h>

// Each returns the library's result code; the two gets store what they read.
int setPin(int pin, int val);
int setPinDir(int pin, GPIO_Direction dir);
int getPin(int pin, int& val);
int getPinDir(int pin, GPIO_Direction& dir);

void reportOn(int pin);

#endif
