// GPIOPin and GPIOAccess on the simulated board.
//
// A PWM runs while the process that started it lives, until it is stopped.
// It is stopped by `pinsim stop-pwm PIN`, and by any later setDirection,
// set, setPWM (the new PWM replaces it) or setIrq on that pin, from any
// process. A running PWM is only state: it costs no thread and no CPU.
//
// Every operation on a pin with an injected fault (`pinsim fail PIN CODE`)
// changes nothing and reports CODE. Invalid arguments are refused with
// EINVAL before the board is touched; an unusable pin reports ENODEV.
#include "board.h"
#include "edges.h"
#include "varnel.h"

#include <cerrno>
#include <unistd.h>

using simboard::BoardSite;
using simboard::BoardState;
using simboard::PinState;

namespace {

// Runs use(PinState&, BoardSite&, bool& changed) on the pin's state, to
// read it or edit it, unless the pin fails; returns the result code.
template <typename Use>
int usePin(int pin, const Use& use)
{
    if (!simboard::isUsablePin(pin))
        return ENODEV;
    try {
        return simboard::useBoard([&](BoardState& board, BoardSite& site, bool& changed) {
            PinState& p = board.pins[pin];
            if (p.fail != 0)
                return p.fail;
            return use(p, site, changed);
        });
    } catch (...) {
        return ENOMEM;
    }
}

// usePin for a change: arguments that are not valid are refused with EINVAL
// before the board is touched (an unusable pin still reports ENODEV).
template <typename Use>
int editPin(int pin, bool validArguments, const Use& use)
{
    if (!validArguments && simboard::isUsablePin(pin))
        return EINVAL;
    return usePin(pin, use);
}

// Documented behaviour: any later change of the pin, from any process, ends its PWM.
void clearPWM(PinState& p)
{
    p.pwmOn = 0;
}

}  // namespace

GPIOPin::GPIOPin(int pin) : pin(pin), lastResult(simboard::isUsablePin(pin) ? 0 : ENODEV) {}

GPIOPin::~GPIOPin() = default;

void GPIOPin::setDirection(GPIO_Direction dir)
{
    const bool valid = dir == GPIO_INPUT || dir == GPIO_OUTPUT;
    lastResult = editPin(pin, valid, [&](PinState& p, BoardSite&, bool& changed) {
        p.direction = dir;
        clearPWM(p);
        changed = true;
        return 0;
    });
}

GPIO_Direction GPIOPin::getDirection()
{
    int direction = -1;
    lastResult = usePin(pin, [&](PinState& p, BoardSite&, bool&) {
        direction = p.direction;
        return 0;
    });
    // -1, neither direction, on a failure: the documented behaviour.
    return static_cast<GPIO_Direction>(lastResult == 0 ? direction : -1);
}

void GPIOPin::set(int level)
{
    const bool valid = level == 0 || level == 1;
    // Documented behaviour: an input keeps the level, to drive once made an output.
    lastResult = editPin(pin, valid, [&](PinState& p, BoardSite&, bool& changed) {
        p.driven = level;
        clearPWM(p);
        changed = true;
        return 0;
    });
}

int GPIOPin::get()
{
    int level = -1;
    lastResult = usePin(pin, [&](PinState& p, BoardSite&, bool&) {
        level = p.direction == GPIO_OUTPUT ? p.driven : p.outside;
        return 0;
    });
    return lastResult == 0 ? level : -1;
}

void GPIOPin::setPWM(int freq, int duty)
{
    const bool valid = freq >= 1 && duty >= 0 && duty <= 100;
    lastResult = editPin(pin, valid, [&](PinState& p, BoardSite& site, bool& changed) {
        if (int err = simboard::takeOwnership(site))
            return err;
        p.pwmOn = 1;
        p.pwmFreq = freq;
        p.pwmDuty = duty;
        p.pwmOwner = ::getpid();
        changed = true;
        return 0;
    });
}

bool GPIOPin::isPWMRunning()
{
    bool running = false;
    // Running only for the process that started it: the documented behaviour.
    lastResult = usePin(pin, [&](PinState& p, BoardSite& site, bool&) {
        running =
            p.pwmOn != 0 && p.pwmOwner == ::getpid() && simboard::isLiveOwner(site, p.pwmOwner);
        return 0;
    });
    return lastResult == 0 && running;
}

void GPIOPin::setIrq(GPIO_Irq_Type type, GPIO_Irq_Handler_Object* handler, long debounce)
{
    const bool valid =
        (type == GPIO_IRQ_RISING || type == GPIO_IRQ_FALLING || type == GPIO_IRQ_BOTH) &&
        handler != nullptr;
    simboard::Arming arming;
    arming.pin = pin;
    arming.type = type;
    arming.handler = handler;
    arming.debounceMs = debounce;
    lastResult = editPin(pin, valid, [&](PinState& p, BoardSite& site, bool& changed) {
        if (int err = simboard::takeOwnership(site))
            return err;
        arming.initialLevel = p.outside;
        if (int err = simboard::openArming(site, arming))
            return err;
        p.irqType = type;
        p.irqOwner = ::getpid();
        p.irqDebounce = debounce;
        clearPWM(p);
        changed = true;
        return 0;
    });
    if (lastResult == 0) {
        lastResult = simboard::startArming(arming);
    } else {
        simboard::dropArming(arming);
    }
}

int GPIOPin::getLastResult()
{
    return lastResult;
}

bool GPIOAccess::isPinUsable(int pin)
{
    return simboard::isUsablePin(pin);
}
