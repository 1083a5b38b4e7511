// set, setd, get and getd on one pin. Each takes the pin over from its
// workers as far as it needs to, makes its library calls, reads the result
// once, releases the handle and only then reports a failure.
#include "pins.h"
#include "workers/workers.h"

#include <cstdio>

int setPin(int pin, int val)
{
    stopPWM(pin);
    stopIRQ(pin);
    GPIOPin* gpio = new GPIOPin(pin);
    gpio->setDirection(GPIO_OUTPUT);
    gpio->set(val);
    int r = gpio->getLastResult();
    delete gpio;
    if (r != 0)
        printf("**ERROR setting pin:%d to value:%d, err=%d\n", pin, val, r);
    return r;
}

int setPinDir(int pin, GPIO_Direction dir)
{
    stopPWM(pin);
    stopIRQ(pin);
    GPIOPin* gpio = new GPIOPin(pin);
    gpio->setDirection(dir);
    int r = gpio->getLastResult();
    delete gpio;
    if (r != 0)
        printf("**ERROR setting pin direction:%d to direction:%d, err=%d\n", pin, (int)dir, r);
    return r;
}

int getPin(int pin, int& val)
{
    stopPWM(pin);
    GPIOPin* gpio = new GPIOPin(pin);
    gpio->setDirection(GPIO_INPUT);
    val = gpio->get();
    int r = gpio->getLastResult();
    delete gpio;
    if (r != 0)
        printf("**ERROR getting pin:%d value, err=%d\n", pin, r);
    return r;
}

int getPinDir(int pin, GPIO_Direction& dir)
{
    GPIOPin* gpio = new GPIOPin(pin);
    dir = gpio->getDirection();
    int r = gpio->getLastResult();
    delete gpio;
    if (r != 0)
        printf("**ERROR getting pin:%d direction, err=%d\n", pin, r);
    return r;
}
