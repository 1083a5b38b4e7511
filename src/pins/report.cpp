// reportOn: the info line of one pin, with the summary of its live worker.
// It stops nothing and changes nothing on the pin.
#include "pins.h"
#include "workers/records.h"

#include <cstdio>
#include <string>

void reportOn(int pin)
{
    printf("Pin:%d, ", pin);
    GPIOPin* gpio = new GPIOPin(pin);
    GPIO_Direction dir = gpio->getDirection();
    printf("Direction:");
    std::string summary;
    if (dir == GPIO_OUTPUT) {
        printf("OUTPUT");
        if (getPWMInf(pin, summary))
            printf(", PWM:\n%s", summary.c_str());
    } else if (dir == GPIO_INPUT) {
        printf("INPUT, Value:%d", gpio->get());
        if (getIRQInf(pin, summary))
            // The documented form: the colon opens the summary's line.
            printf(" IRQ\n:%s", summary.c_str());
    }
    printf("\n");
    delete gpio;
}
