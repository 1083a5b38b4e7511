#include "expected.h"

#include "run.h"

#ifndef PINCTL_TEST_DATA
#error "PINCTL_TEST_DATA must name the folder of usage.txt"
#endif

const std::vector<int> USABLE_PINS = {0, 1, 6, 7, 8, 12, 13, 14, 15, 16, 17, 18, 19, 23, 26};

std::string usageText(const std::string& prog)
{
    std::string text = readFile(std::string(PINCTL_TEST_DATA) + "/usage.txt");
    for (size_t at; (at = text.find("PROG")) != std::string::npos;)
        text.replace(at, 4, prog);
    return text;
}

std::string freshBoardShow()
{
    std::string text;
    for (int pin : USABLE_PINS)
        text += "pin=" + std::to_string(pin) + " direction=in level=0 pwm=off irq=off fail=0\n";
    return text;
}
