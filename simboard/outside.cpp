#include "outside.h"

#include "edges.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>

namespace simboard {
namespace {

const char* irqName(int type)
{
    switch (type) {
    case 1:
        return "rising";
    case 2:
        return "falling";
    case 3:
        return "both";
    default:
        return "off";
    }
}

}  // namespace

int injectFail(int pin, int code)
{
    if (!isUsablePin(pin))
        return ENODEV;
    return useBoard([&](BoardState& board, BoardSite&, bool& changed) {
        board.pins[pin].fail = code;
        changed = true;
        return 0;
    });
}

int stopPWMFromOutside(int pin)
{
    if (!isUsablePin(pin))
        return ENODEV;
    return useBoard([&](BoardState& board, BoardSite&, bool& changed) {
        board.pins[pin].pwmOn = 0;
        changed = true;
        return 0;
    });
}

int resetBoard()
{
    return rewriteBoard([](BoardState&, BoardSite& site, bool&) {
        for (int pin = 0; pin < kPinCount; ++pin)
            if (int err = endArming(site, pin))
                return err;
        return 0;
    });
}

std::string describePin(int pin, const PinState& p, const BoardSite& site)
{
    char pwm[32] = "off";
    if (p.pwmOn != 0 && isLiveOwner(site, p.pwmOwner))
        std::snprintf(pwm, sizeof pwm, "%d/%d", p.pwmFreq, p.pwmDuty);
    const bool armed = p.irqType != 0 && isLiveOwner(site, p.irqOwner);
    const bool output = p.direction == 1;
    char line[160];
    std::snprintf(line, sizeof line, "pin=%d direction=%s level=%d pwm=%s irq=%s fail=%d", pin,
                  output ? "out" : "in", output ? p.driven : p.outside, pwm,
                  armed ? irqName(p.irqType) : "off", p.fail);
    return line;
}

int describePins(int pin, std::string& text)
{
    text.clear();
    if (pin >= 0 && !isUsablePin(pin))
        return ENODEV;
    return useBoard([&](BoardState& board, BoardSite& site, bool&) {
        for (int i = 0; i < kPinCount; ++i) {
            if (!isUsablePin(i) || (pin >= 0 && i != pin))
                continue;
            text += describePin(i, board.pins[i], site);
            text += '\n';
        }
        return 0;
    });
}

std::string libraryFolder()
{
    // The loader names the file it mapped this function from.
    Dl_info info;
    if (::dladdr(reinterpret_cast<void*>(&libraryFolder), &info) == 0 || info.dli_fname == nullptr)
        return "";
    char path[PATH_MAX];
    if (::realpath(info.dli_fname, path) == nullptr)
        return "";
    std::string folder(path);
    return folder.substr(0, folder.rfind('/'));
}

}  // namespace simboard
