// One-shot operations on a pin: set and read its level and direction, and
// report on it.
#ifndef PINCTL_PINS_H
#define PINCTL_PINS_H

#include <varnel.h>

void setPin(int pin, int val);
void setPinDir(int pin, GPIO_Direction dir);
// These two return the library's result code and store what they read.
int getPin(int pin, int& val);
int getPinDir(int pin, GPIO_Direction& dir);

void reportOn(int pin);

#endif
