// Chips, line info and line requests.
#include "chips.h"

#include "trust.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace linuxboard {

namespace {

struct Chip {
    int err = 0;  // why it could not be opened, or 0
    int fd = -1;
    gpiochip_info info = {};
};

// Chips by the name the map gives them, kept open for the process's life;
// the descriptors are close-on-exec and of no harm to a forked child.
pthread_mutex_t chipsMutex = PTHREAD_MUTEX_INITIALIZER;
std::map<std::string, Chip>* chips = new std::map<std::string, Chip>;

int ioctlRetry(int fd, unsigned long request, void* arg)
{
    int r;
    do {
        r = ioctl(fd, request, arg);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? errno : 0;
}

// Whether the device at path may be a GPIO chip: opening some devices
// does something (a watchdog starts), so a map naming the wrong one must
// not get as far as that. Where sysfs tells the device's subsystem, it is
// to be "gpio". 0, or an errno value.
int checkMayBeChip(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return errno;
    if (!S_ISCHR(st.st_mode))
        return ENODEV;
    char link[128];
    snprintf(link, sizeof link, "/sys/dev/char/%u:%u/subsystem", major(st.st_rdev),
             minor(st.st_rdev));
    char target[256];
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return 0;
    target[n] = '\0';
    const char* base = strrchr(target, '/');
    return strcmp(base != nullptr ? base + 1 : target, "gpio") == 0 ? 0 : ENODEV;
}

// Whether path is a name the kernel gives GPIO chips alone in /dev.
bool isChipName(const std::string& path)
{
    const char prefix[] = "/dev/gpiochip";
    size_t n = sizeof prefix - 1;
    return path.compare(0, n, prefix) == 0 && path.size() > n &&
           path.find_first_not_of("0123456789", n) == std::string::npos;
}

Chip openChip(const std::string& path)
{
    Chip chip;
    chip.err = isChipName(path) ? 0 : checkMayBeChip(path);
    if (chip.err != 0)
        return chip;
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        chip.err = errno;
        return chip;
    }
    // Only a GPIO chip answers this.
    chip.err = ioctlRetry(fd, GPIO_GET_CHIPINFO_IOCTL, &chip.info);
    if (chip.err == ENOTTY || chip.err == EINVAL)
        chip.err = ENODEV;
    if (chip.err != 0) {
        close(fd);
        return chip;
    }
    chip.fd = fd;
    return chip;
}

// The chip whose label the kernel reports as label, among /dev/gpiochip*.
Chip findChipByLabel(const std::string& label)
{
    Chip found;
    found.err = ENOENT;
    DIR* dev = opendir("/dev");
    if (dev == nullptr)
        return found;
    while (struct dirent* e = readdir(dev)) {
        if (strncmp(e->d_name, "gpiochip", 8) != 0)
            continue;
        Chip chip = openChip(std::string("/dev/") + e->d_name);
        if (chip.err != 0) {
            if (chip.err == EACCES && found.err == ENOENT)
                found.err = EACCES;
            continue;
        }
        if (strncmp(chip.info.label, label.c_str(), sizeof chip.info.label) == 0 &&
            label.size() < sizeof chip.info.label) {
            found = chip;
            break;
        }
        close(chip.fd);
    }
    closedir(dev);
    return found;
}

}  // namespace

int findLine(int pin, LineSite& site)
{
    const PinMap& map = boardPinMap();
    auto it = map.pins.find(pin);
    if (!map.valid || it == map.pins.end())
        return ENODEV;
    const PinMapping& m = it->second;

    pthread_mutex_lock(&chipsMutex);
    auto known = chips->find(m.chip);
    int err = 0;
    if (known == chips->end()) {
        Chip chip = m.chip[0] == '/' ? openChip(m.chip) : findChipByLabel(m.chip);
        // A chip that may yet appear is looked for again next time.
        err = chip.err;
        if (err == 0)
            known = chips->emplace(m.chip, chip).first;
    }
    pthread_mutex_unlock(&chipsMutex);
    if (err != 0)
        return err;
    const Chip& chip = known->second;
    if (m.line >= chip.info.lines)
        return EINVAL;
    site.chipFd = chip.fd;
    // gpiochipN: the kernel's number for the chip, the same by path or label.
    site.chip = (unsigned)strtoul(chip.info.name + strlen("gpiochip"), nullptr, 10);
    site.line = m.line;
    site.mapping = m;
    return 0;
}

void forgetChip(const LineSite& site)
{
    pthread_mutex_lock(&chipsMutex);
    auto known = chips->find(site.mapping.chip);
    if (known != chips->end() && known->second.fd == site.chipFd) {
        close(known->second.fd);
        chips->erase(known);
    }
    pthread_mutex_unlock(&chipsMutex);
}

bool isOurConsumer(const gpio_v2_line_info& info)
{
    return strncmp(info.consumer, ourConsumer(), sizeof info.consumer) == 0;
}

int readLineInfo(const LineSite& site, gpio_v2_line_info& info)
{
    memset(&info, 0, sizeof info);
    info.offset = site.line;
    return ioctlRetry(site.chipFd, GPIO_V2_GET_LINEINFO_IOCTL, &info);
}

static void fillConfig(const LineConfig& config, gpio_v2_line_config& out)
{
    memset(&out, 0, sizeof out);
    out.flags = config.flags;
    if (config.flags & GPIO_V2_LINE_FLAG_OUTPUT) {
        gpio_v2_line_config_attribute& a = out.attrs[out.num_attrs++];
        a.attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
        a.attr.values = config.level ? 1 : 0;
        a.mask = 1;
    }
    if (config.debounceUs != 0) {
        gpio_v2_line_config_attribute& a = out.attrs[out.num_attrs++];
        a.attr.id = GPIO_V2_LINE_ATTR_ID_DEBOUNCE;
        a.attr.debounce_period_us = config.debounceUs;
        a.mask = 1;
    }
}

int requestLine(const LineSite& site, const LineConfig& config, uint32_t eventBuffer, int& fd)
{
    gpio_v2_line_request req;
    memset(&req, 0, sizeof req);
    req.offsets[0] = site.line;
    req.num_lines = 1;
    snprintf(req.consumer, sizeof req.consumer, "%s", ourConsumer());
    fillConfig(config, req.config);
    req.event_buffer_size = eventBuffer;
    int err = ioctlRetry(site.chipFd, GPIO_V2_GET_LINE_IOCTL, &req);
    if (err != 0)
        return err;
    if (req.fd < 0)
        return EIO;
    fd = req.fd;
    return 0;
}

int configureLine(int fd, const LineConfig& config)
{
    gpio_v2_line_config c;
    fillConfig(config, c);
    return ioctlRetry(fd, GPIO_V2_LINE_SET_CONFIG_IOCTL, &c);
}

int readLevel(int fd, int& level)
{
    gpio_v2_line_values v = {};
    v.mask = 1;
    int err = ioctlRetry(fd, GPIO_V2_LINE_GET_VALUES_IOCTL, &v);
    if (err == 0)
        level = (int)(v.bits & 1);
    return err;
}

int driveLevel(int fd, int level)
{
    gpio_v2_line_values v = {};
    v.mask = 1;
    v.bits = level ? 1 : 0;
    return ioctlRetry(fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &v);
}

}  // namespace linuxboard
