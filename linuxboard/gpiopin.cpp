// GPIOPin and GPIOAccess over the kernel's GPIO character devices.
//
// A GPIOPin holds only its pin and last result; what the process holds of
// a pin (who holds its line, a running PWM or interrupt) lives in a table
// here, keyed by pin, for as long as a handle on the pin exists or the PWM
// or interrupt runs. Who holds the line, and every move of it between
// this process, the keeper and the interrupt workers, is lineowner.h's.
// Line info needs no request, so the direction can always be read.
#include "chips.h"
#include "hardpwm.h"
#include "irqwatch.h"
#include "lineowner.h"
#include "softpwm.h"
#include "timing.h"
#include "varnel.h"

#include <cerrno>
#include <map>
#include <pthread.h>
#include <unistd.h>

using namespace linuxboard;

namespace {

struct PinLine {
    int handles = 0;
    int siteErr = ENODEV;  // 0 once site names the pin's line
    LineSite site;
    LineHold hold;
    SoftPWM* softPWM = nullptr;
    bool levelPWM = false;  // duty 0 or 100: the level, held without a thread
    HardPWM hardPWM;
    IrqWatch* irq = nullptr;
    LineConfig irqConfig;  // what the line was armed with
};

pthread_mutex_t tableMutex = PTHREAD_MUTEX_INITIALIZER;
// Never destroyed: threads of the library may run on while the process exits.
std::map<int, PinLine>* table = new std::map<int, PinLine>;
bool forkHandled = false;
bool forkedChild = false;

// A forked child inherits the table but none of the threads, and its
// descriptors are copies of the parent's: it starts afresh, leaving the
// parent's lines, PWM, interrupts and registrations to the parent.
void forgetInherited()
{
    for (auto& entry : *table) {
        PinLine& e = entry.second;
        if (e.hold.fd >= 0)
            close(e.hold.fd);
        if (e.hold.transit >= 0)
            close(e.hold.transit);
        if (e.hold.lent != nullptr)
            forgetRegistration(e.hold.lent);
        if (e.hardPWM.enable >= 0)
            close(e.hardPWM.enable);
        if (e.hardPWM.watch != nullptr)
            forgetRegistration(e.hardPWM.watch);
    }
    table->clear();
}

void afterForkInChild()
{
    pthread_mutex_init(&tableMutex, nullptr);
    forkedChild = true;
    restartWaitBudget();
}

class TableLock {
public:
    TableLock()
    {
        pthread_mutex_lock(&tableMutex);
        if (!forkHandled) {
            pthread_atfork(nullptr, nullptr, afterForkInChild);
            forkHandled = true;
        }
        if (forkedChild) {
            forgetInherited();
            forkedChild = false;
        }
    }
    ~TableLock() { pthread_mutex_unlock(&tableMutex); }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;
};

bool isActive(const PinLine& e)
{
    return e.softPWM != nullptr || e.levelPWM || e.hardPWM.enable >= 0 || e.irq != nullptr;
}

// Ends this process's PWM on the pin, and any PWM its channel still runs
// for another (one whose worker ended without its watch): the pin is
// being put to another use.
void stopPWMOf(PinLine& e)
{
    if (e.softPWM != nullptr)
        stopSoftPWM(e.softPWM);
    e.softPWM = nullptr;
    e.levelPWM = false;
    stopHardPWM(e.hardPWM);
    const PinMapping& m = e.site.mapping;
    if (m.pwmChip >= 0)
        switchPWMChannelOff(PWM_SYSFS, m.pwmChip, m.pwmChannel);
}

void stopActivity(PinLine& e)
{
    stopPWMOf(e);
    if (e.irq != nullptr) {
        stopIrqWatch(e.irq);
        e.irq = nullptr;
        letGo(e.hold);
    }
}

int startPWMOn(PinLine& e, int freq, int duty)
{
    const PinMapping& m = e.site.mapping;
    if (m.pwmChip >= 0) {
        // The pin's line gives way to its PWM channel.
        int err = freeLine(e.site, e.hold);
        return err != 0 ? err
                        : startHardPWM(PWM_SYSFS, m.pwmChip, m.pwmChannel, freq, duty, e.hardPWM,
                                       waitBudget());
    }
    // While the PWM runs the line is this process's alone; it is released
    // when the process ends.
    bool steady = duty == 0 || duty == 100;
    if (!steady && freq > SOFT_PWM_MAX_HZ)
        return EINVAL;
    int err = makeOutput(e.site, e.hold, steady ? duty / 100 : -1, false);
    if (err != 0)
        return err;
    if (steady) {
        e.levelPWM = true;
        return 0;
    }
    return startSoftPWM(e.hold.fd, freq, duty, e.softPWM);
}

uint64_t edgeFlags(GPIO_Irq_Type type)
{
    uint64_t flags = GPIO_V2_LINE_FLAG_INPUT;
    if (type == GPIO_IRQ_RISING || type == GPIO_IRQ_BOTH)
        flags |= GPIO_V2_LINE_FLAG_EDGE_RISING;
    if (type == GPIO_IRQ_FALLING || type == GPIO_IRQ_BOTH)
        flags |= GPIO_V2_LINE_FLAG_EDGE_FALLING;
    return flags;
}

// The armed line requested afresh and lent to the keeper.
int requestIRQLine(PinLine& e)
{
    int err = requestAfresh(e.site, e.hold, e.irqConfig, EVENT_BUFFER);
    if (err == 0)
        err = lendLine(e.site, e.hold);
    if (err != 0)
        letGo(e.hold);
    return err;
}

// Called by the pin's interrupt thread once its line's chip has gone and
// a chip may have come back. Never waits for the table: whoever holds it
// may be stopping that thread.
int rearmIRQ(int pin, int& fd)
{
    if (pthread_mutex_trylock(&tableMutex) != 0)
        return EAGAIN;
    int err = ECANCELED;
    auto it = table->find(pin);
    if (it != table->end() && it->second.irq != nullptr) {
        PinLine& e = it->second;
        letGo(e.hold);
        if (e.siteErr == 0) {
            // Every pin on the chip that went looks for it afresh.
            for (auto& other : *table) {
                if (other.second.siteErr == 0 && other.second.site.chipFd == e.site.chipFd &&
                    &other.second != &e)
                    other.second.siteErr = ENODEV;
            }
            forgetChip(e.site);
        }
        e.siteErr = findLine(pin, e.site);
        err = e.siteErr != 0 ? e.siteErr : requestIRQLine(e);
        if (err == 0)
            fd = e.hold.fd;
    }
    pthread_mutex_unlock(&tableMutex);
    return err;
}

int armIRQ(PinLine& e, int pin, GPIO_Irq_Type type, GPIO_Irq_Handler_Object* handler, long debounce)
{
    e.irqConfig = LineConfig();
    e.irqConfig.flags = edgeFlags(type);
    e.irqConfig.debounceUs = debounceMicroseconds(debounce);
    int err = requestIRQLine(e);
    if (err == 0)
        err = startIrqWatch(pin, e.hold.fd, handler, rearmIRQ, e.irq);
    if (err != 0)
        letGo(e.hold);
    return err;
}

// Runs op(entry) on the pin's entry under the table lock, unless the pin
// has no line; returns op's result code.
template <typename Op>
int withPin(int pin, const Op& op)
{
    TableLock lock;
    auto it = table->find(pin);
    if (it == table->end())
        return ENODEV;
    if (it->second.siteErr != 0)
        return it->second.siteErr;
    return op(it->second);
}

}  // namespace

GPIOPin::GPIOPin(int pin) : pin(pin), lastResult(0)
{
    TableLock lock;
    PinLine& e = (*table)[pin];
    e.handles++;
    if (e.siteErr != 0)
        e.siteErr = findLine(pin, e.site);
    lastResult = e.siteErr;
}

GPIOPin::~GPIOPin()
{
    TableLock lock;
    auto it = table->find(pin);
    if (it == table->end())
        return;
    PinLine& e = it->second;
    if (--e.handles > 0 || isActive(e))
        return;
    // What the keeper holds stays with it; a request of ours is let go.
    letGo(e.hold);
    table->erase(it);
}

void GPIOPin::setDirection(GPIO_Direction dir)
{
    if (dir != GPIO_INPUT && dir != GPIO_OUTPUT) {
        lastResult = EINVAL;
        return;
    }
    lastResult = withPin(pin, [&](PinLine& e) {
        stopPWMOf(e);
        if (dir == GPIO_INPUT)
            return e.irq != nullptr ? 0 : makeInput(e.site, e.hold);
        stopActivity(e);
        return makeOutput(e.site, e.hold, -1, true);
    });
}

GPIO_Direction GPIOPin::getDirection()
{
    int dir = -1;
    lastResult = withPin(pin, [&](PinLine& e) {
        const PinMapping& m = e.site.mapping;
        if (m.pwmChip >= 0 && isPWMChannelEnabled(PWM_SYSFS, m.pwmChip, m.pwmChannel)) {
            dir = GPIO_OUTPUT;
            return 0;
        }
        gpio_v2_line_info info;
        int err = readLineInfo(e.site, info);
        if (err == 0 && (info.flags & GPIO_V2_LINE_FLAG_OUTPUT))
            dir = GPIO_OUTPUT;
        else if (err == 0 && (info.flags & GPIO_V2_LINE_FLAG_INPUT))
            dir = GPIO_INPUT;
        return err;
    });
    return static_cast<GPIO_Direction>(dir);
}

void GPIOPin::set(int level)
{
    if (level != 0 && level != 1) {
        lastResult = EINVAL;
        return;
    }
    lastResult = withPin(pin, [&](PinLine& e) {
        stopActivity(e);
        return makeOutput(e.site, e.hold, level, true);
    });
}

int GPIOPin::get()
{
    int level = -1;
    lastResult = withPin(pin, [&](PinLine& e) { return readLine(e.site, e.hold, level); });
    return lastResult == 0 ? level : -1;
}

void GPIOPin::setPWM(int freq, int duty)
{
    if (freq < 1 || duty < 0 || duty > 100) {
        lastResult = EINVAL;
        return;
    }
    lastResult = withPin(pin, [&](PinLine& e) {
        stopActivity(e);
        return startPWMOn(e, freq, duty);
    });
}

bool GPIOPin::isPWMRunning()
{
    bool running = false;
    lastResult = withPin(pin, [&](PinLine& e) {
        running = (e.softPWM != nullptr && isSoftPWMRunning(e.softPWM)) || e.levelPWM ||
                  isHardPWMRunning(e.hardPWM);
        return 0;
    });
    return running;
}

void GPIOPin::setIrq(GPIO_Irq_Type type, GPIO_Irq_Handler_Object* handler, long debounce)
{
    if ((type != GPIO_IRQ_RISING && type != GPIO_IRQ_FALLING && type != GPIO_IRQ_BOTH) ||
        handler == nullptr) {
        lastResult = EINVAL;
        return;
    }
    lastResult = withPin(pin, [&](PinLine& e) {
        stopActivity(e);
        return armIRQ(e, pin, type, handler, debounce);
    });
}

int GPIOPin::getLastResult()
{
    return lastResult;
}

bool GPIOAccess::isPinUsable(int pin)
{
    LineSite site;
    int err = findLine(pin, site);
    // A chip we may not open is there all the same: each operation on the
    // pin then fails with the reason.
    return err == 0 || err == EACCES || err == EPERM;
}
