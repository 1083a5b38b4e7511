// GPIOPin and GPIOAccess over the kernel's GPIO character devices.
//
// A GPIOPin holds only its pin and last result; what the process holds of
// a pin (its line request, a running PWM or interrupt) lives in a table
// here, keyed by pin, for as long as a handle on the pin exists or the PWM
// or interrupt runs.
//
// Across processes: an output line we configured is kept requested by a
// holder (holder.h) after the process ends, and a later operation on the
// pin, from any process, takes the request over from the holder with the
// line still driven as it was. A line whose interrupt is armed stays with
// the process that armed it, which lends it to readers. Line info needs no
// request, so the direction can always be read.
#include "chips.h"
#include "hardpwm.h"
#include "holder.h"
#include "irqwatch.h"
#include "owners.h"
#include "softpwm.h"
#include "timing.h"
#include "varnel.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <pthread.h>
#include <unistd.h>

using namespace linuxboard;

namespace {

struct PinLine {
    int handles = 0;
    int siteErr = ENODEV;  // 0 once site names the pin's line
    LineSite site;
    int fd = -1;          // the line request, or -1
    bool shared = false;  // fd is lent by another process: never reconfigured
    bool output = false;  // we configured the request as an output
    int holderLink = -1;  // to the holder we started, which holds the request too
    SoftPWM* softPWM = nullptr;
    bool levelPWM = false;  // duty 0 or 100: the level, held without a thread
    HardPWM hardPWM;
    IrqWatch* irq = nullptr;
};

pthread_mutex_t tableMutex = PTHREAD_MUTEX_INITIALIZER;
// Never destroyed: threads of the library may run on while the process exits.
std::map<int, PinLine>* table = new std::map<int, PinLine>;
pid_t tablePID = 0;

void resetMutexInChild()
{
    pthread_mutex_init(&tableMutex, nullptr);
}

// A forked child inherits the table but none of the threads, and its
// descriptors are copies of the parent's: it starts afresh, leaving the
// parent's lines, PWM and interrupts to the parent.
void forgetInherited()
{
    for (auto& entry : *table) {
        PinLine& e = entry.second;
        if (e.fd >= 0)
            close(e.fd);
        if (e.hardPWM.link >= 0)
            close(e.hardPWM.link);
        if (e.holderLink >= 0)
            close(e.holderLink);
    }
    table->clear();
}

class TableLock {
public:
    TableLock()
    {
        static pthread_once_t once = PTHREAD_ONCE_INIT;
        pthread_once(&once, [] { pthread_atfork(nullptr, nullptr, resetMutexInChild); });
        pthread_mutex_lock(&tableMutex);
        if (tablePID != getpid()) {
            forgetInherited();
            tablePID = getpid();
        }
    }
    ~TableLock() { pthread_mutex_unlock(&tableMutex); }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;
};

bool isActive(const PinLine& e)
{
    return e.softPWM != nullptr || e.levelPWM || e.hardPWM.link >= 0 || e.irq != nullptr;
}

void stopPWMOf(PinLine& e)
{
    if (e.softPWM != nullptr)
        stopSoftPWM(e.softPWM);
    e.softPWM = nullptr;
    e.levelPWM = false;
    stopHardPWM(e.hardPWM);
}

void stopActivity(PinLine& e)
{
    stopPWMOf(e);
    if (e.irq != nullptr)
        stopIrqWatch(e.irq);
    e.irq = nullptr;
}

void dropLine(PinLine& e)
{
    if (e.fd >= 0)
        close(e.fd);
    e.fd = -1;
    e.shared = false;
    e.output = false;
}

// Ends the holder we started, if any: the line is then ours alone.
void dismissHolder(PinLine& e)
{
    if (e.holderLink >= 0)
        endHolder(e.holderLink);
    e.holderLink = -1;
}

// How an owner of ours is asked for its line.
enum class Ask { TAKE, SHARE, SHARE_INPUT };

// A line of ours between two owners (a holder handing it over to one
// process while another's holder starts) is busy for a moment: waited
// for, within this bound.
const int BETWEEN_OWNERS_MS = 5000;
const int BETWEEN_OWNERS_STEP_MS = 10;

// Gets the line into e.fd: from the owner of ours that has it (taken, or
// borrowed; SHARE_INPUT borrows an input and takes an output), else as a
// new request with config. fromOwner tells which; info is the line as it
// was found.
int obtainLine(PinLine& e, Ask ask, const LineConfig& config, gpio_v2_line_info& info,
               bool& fromOwner)
{
    for (int waited = 0;; waited += BETWEEN_OWNERS_STEP_MS) {
        fromOwner = false;
        int err = readLineInfo(e.site, info);
        if (err != 0)
            return err;
        if (info.flags & GPIO_V2_LINE_FLAG_USED) {
            bool share = ask == Ask::SHARE ||
                         (ask == Ask::SHARE_INPUT && (info.flags & GPIO_V2_LINE_FLAG_INPUT));
            int fd = -1;
            err = share ? shareLine(e.site, fd) : takeLine(e.site, fd);
            if (err == 0) {
                e.fd = fd;
                e.shared = share;
                fromOwner = true;
                return 0;
            }
            // Not one of ours: the kernel tells whether it is still busy.
            if (err != ESRCH)
                return err;
        }
        err = requestLine(e.site, config, 0, e.fd);
        if (err != EBUSY || waited >= BETWEEN_OWNERS_MS)
            return err;
        // Busy with a program not ours: that is the answer. Ours, or
        // free again already: try again.
        gpio_v2_line_info now;
        if (readLineInfo(e.site, now) == 0 && (now.flags & GPIO_V2_LINE_FLAG_USED) &&
            strncmp(now.consumer, CONSUMER, sizeof now.consumer) != 0)
            return err;
        struct timespec step = {0, BETWEEN_OWNERS_STEP_MS * 1000000L};
        nanosleep(&step, nullptr);
    }
}

// A request of our own for the line: what we have, or the request of the
// owner that holds it, or a new one that leaves the line as it is.
int takeOver(PinLine& e)
{
    if (e.fd >= 0 && !e.shared)
        return 0;
    dropLine(e);
    gpio_v2_line_info info;
    bool fromOwner = false;
    int err = obtainLine(e, Ask::TAKE, LineConfig(), info, fromOwner);
    if (err == 0 && fromOwner)
        e.output = (info.flags & GPIO_V2_LINE_FLAG_OUTPUT) != 0;
    return err;
}

bool isOurOutput(const gpio_v2_line_info& info)
{
    return (info.flags & GPIO_V2_LINE_FLAG_USED) && (info.flags & GPIO_V2_LINE_FLAG_OUTPUT) &&
           strncmp(info.consumer, CONSUMER, sizeof info.consumer) == 0;
}

// Borrows the request of an output line that an owner of ours keeps: the
// owner keeps the line and its level, and nothing is started. False when
// the line is no such line now; nothing has changed then.
bool borrowKeptOutput(PinLine& e)
{
    gpio_v2_line_info info;
    if (readLineInfo(e.site, info) != 0 || !isOurOutput(info))
        return false;
    int fd = -1;
    if (shareLine(e.site, fd) != 0)
        return false;
    // While we hold the lent request it is the line's only one: the line
    // still being an output of ours says that the request is one.
    if (readLineInfo(e.site, info) != 0 || !isOurOutput(info)) {
        close(fd);
        return false;
    }
    e.fd = fd;
    e.shared = true;
    e.output = true;
    return true;
}

// Makes the line an output of ours driven to level, or at the level it
// has for level -1; with hold, a holder keeps it after the process ends.
int makeOutput(PinLine& e, int level, bool hold)
{
    // An output that a holder keeps is driven through the holder's request.
    // The kernel refuses to drive a request that is no longer an output
    // (taken meanwhile and made an input): then the usual way.
    bool lent = e.fd >= 0 && e.shared && e.output;
    if (hold && e.holderLink < 0 && (lent || (e.fd < 0 && borrowKeptOutput(e)))) {
        if (level < 0 || driveLevel(e.fd, level) == 0)
            return 0;
        dropLine(e);
    }
    int err = takeOver(e);
    if (err != 0)
        return err;
    if (!e.output) {
        LineConfig config;
        config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
        config.level = level;
        if (level < 0)
            err = readLevel(e.fd, config.level);
        if (err == 0)
            err = configureLine(e.fd, config);
        if (err != 0)
            return err;
        e.output = true;
    } else if (level >= 0) {
        err = driveLevel(e.fd, level);
        if (err != 0)
            return err;
    }
    if (hold && e.holderLink < 0)
        return startHolder(e.site, e.fd, e.holderLink);
    return 0;
}

// Makes the line an input. A line another process of ours watches for
// interrupts is an input already: it is borrowed, not reconfigured, so
// that its edge detection goes on undisturbed.
int makeInput(PinLine& e)
{
    // A lent output is the holder's to reconfigure: it is asked for the line.
    if (e.fd >= 0 && e.shared && e.output)
        dropLine(e);
    if (e.fd >= 0 && e.shared)
        return 0;
    if (e.fd >= 0) {
        dismissHolder(e);
        if (!e.output)
            return 0;
        LineConfig config;
        config.flags = GPIO_V2_LINE_FLAG_INPUT;
        int err = configureLine(e.fd, config);
        if (err == 0)
            e.output = false;
        return err;
    }
    LineConfig config;
    config.flags = GPIO_V2_LINE_FLAG_INPUT;
    gpio_v2_line_info info;
    bool fromOwner = false;
    int err = obtainLine(e, Ask::SHARE_INPUT, config, info, fromOwner);
    if (err != 0 || !fromOwner || e.shared)
        return err;
    // Taken from a holder: an output still.
    e.output = true;
    return makeInput(e);
}

// The line for reading: ours, lent by its owner, or a request that leaves
// it as it is.
int lineForReading(PinLine& e)
{
    if (e.fd >= 0)
        return 0;
    gpio_v2_line_info info;
    bool fromOwner = false;
    return obtainLine(e, Ask::SHARE, LineConfig(), info, fromOwner);
}

int startPWMOn(PinLine& e, int freq, int duty)
{
    const PinMapping& m = e.site.mapping;
    if (m.pwmChip >= 0) {
        // The pin's line gives way to its PWM channel.
        int err = takeOver(e);
        if (err == 0) {
            dismissHolder(e);
            dropLine(e);
        }
        return startHardPWM(PWM_SYSFS, m.pwmChip, m.pwmChannel, freq, duty, e.hardPWM);
    }
    // While the PWM runs the line is this process's alone; it is released
    // when the process ends.
    bool steady = duty == 0 || duty == 100;
    if (!steady && freq > SOFT_PWM_MAX_HZ)
        return EINVAL;
    int err = makeOutput(e, steady ? duty / 100 : -1, false);
    if (err != 0)
        return err;
    dismissHolder(e);
    if (steady) {
        e.levelPWM = true;
        return 0;
    }
    return startSoftPWM(e.fd, freq, duty, e.softPWM);
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

int armIRQ(PinLine& e, int pin, GPIO_Irq_Type type, GPIO_Irq_Handler_Object* handler, long debounce)
{
    // The kernel sizes its event buffer only when a line is requested: the
    // request is made afresh, after ours or an owner's is let go.
    dismissHolder(e);
    if (e.fd >= 0 && !e.shared) {
        dropLine(e);
    } else {
        int err = takeOver(e);
        if (err != 0)
            return err;
        dropLine(e);
    }
    LineConfig config;
    config.flags = edgeFlags(type);
    config.debounceUs = debounceMicroseconds(debounce);
    int err = requestLine(e.site, config, EVENT_BUFFER, e.fd);
    if (err != 0)
        return err;
    int listenFd = -1;
    if (listenAt(lineOwnerName(e.site), listenFd) != 0)
        listenFd = -1;
    err = startIrqWatch(pin, e.fd, listenFd, handler, e.irq);
    if (err != 0) {
        if (listenFd >= 0)
            close(listenFd);
        dropLine(e);
    }
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
    // A holder we started keeps an output line, and from now on answers
    // other processes; anything else is let go.
    dropLine(e);
    if (e.holderLink >= 0)
        close(e.holderLink);
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
            return e.irq != nullptr ? 0 : makeInput(e);
        if (e.irq != nullptr)
            stopActivity(e);
        return makeOutput(e, -1, true);
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
        return makeOutput(e, level, true);
    });
}

int GPIOPin::get()
{
    int level = -1;
    lastResult = withPin(pin, [&](PinLine& e) {
        int err = lineForReading(e);
        if (err == 0)
            err = readLevel(e.fd, level);
        return err;
    });
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
    return findLine(pin, site) == 0;
}
