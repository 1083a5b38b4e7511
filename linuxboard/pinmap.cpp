// Parsing the pin map's text.
#include "pinmap.h"

#include <cctype>
#include <cerrno>
#include <vector>

namespace linuxboard {

// Pins, lines and PWM numbers are plain decimal numbers up to this.
static const long MAP_NUMBER_MAX = 65535;
// The "all" sweeps cover pins 0 to 26, and so does the default map.
static const int DEFAULT_PINS = 27;

static std::vector<std::string> splitWords(const std::string& line)
{
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            i++;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
            i++;
        if (i > start)
            words.push_back(line.substr(start, i - start));
    }
    return words;
}

// A plain decimal number, digits only, within MAP_NUMBER_MAX.
static bool readNumber(const std::string& word, long& value)
{
    if (word.empty() || word.size() > 5)
        return false;
    value = 0;
    for (char c : word) {
        if (!isdigit((unsigned char)c))
            return false;
        value = value * 10 + (c - '0');
    }
    return value <= MAP_NUMBER_MAX;
}

static bool parseLine(const std::vector<std::string>& words, PinMap& map, std::string& reason)
{
    if (words.size() != 3 && words.size() != 5) {
        reason = "expected PIN CHIP LINE [PWMCHIP CHANNEL]";
        return false;
    }
    long pin, line;
    if (!readNumber(words[0], pin)) {
        reason = "bad pin number '" + words[0] + "'";
        return false;
    }
    if (!readNumber(words[2], line)) {
        reason = "bad line number '" + words[2] + "'";
        return false;
    }
    if (map.pins.count((int)pin) != 0) {
        reason = "pin " + words[0] + " mapped twice";
        return false;
    }
    PinMapping m;
    m.chip = words[1];
    m.line = (unsigned)line;
    if (words.size() == 5) {
        long chip, channel;
        if (!readNumber(words[3], chip) || !readNumber(words[4], channel)) {
            reason = "bad PWM chip or channel '" + words[3] + " " + words[4] + "'";
            return false;
        }
        m.pwmChip = (int)chip;
        m.pwmChannel = (int)channel;
    }
    map.pins[(int)pin] = m;
    return true;
}

bool parsePinMap(const std::string& text, PinMap& map, PinMapFault& fault)
{
    map = PinMap();
    int number = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        number++;
        line = line.substr(0, line.find('#'));
        if (line.find('\0') != std::string::npos) {
            fault = {number, "NUL byte"};
            map = PinMap();
            return false;
        }
        std::vector<std::string> words = splitWords(line);
        if (words.empty())
            continue;
        std::string reason;
        if (!parseLine(words, map, reason)) {
            fault = {number, reason};
            map = PinMap();
            return false;
        }
    }
    map.valid = true;
    return true;
}

PinMap defaultPinMap()
{
    PinMap map;
    for (int pin = 0; pin < DEFAULT_PINS; pin++) {
        PinMapping m;
        m.chip = "/dev/gpiochip0";
        m.line = (unsigned)pin;
        map.pins[pin] = m;
    }
    map.valid = true;
    return map;
}

}  // namespace linuxboard
