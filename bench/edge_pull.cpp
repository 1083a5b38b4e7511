// bench_edges on a gpio-sim line: PIN is the line's sysfs folder
// (.../gpiochipN/sim_gpioL), driven by writing its pull.
#include "edge_driver.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

int readLevel(const char* pin, int& level)
{
    int fd = open((std::string(pin) + "/value").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    char c = 0;
    ssize_t n = read(fd, &c, 1);
    int err = n == 1 ? 0 : (n < 0 ? errno : EIO);
    close(fd);
    level = c == '1';
    return err;
}

int driveLevel(const char* pin, int level)
{
    int fd = open((std::string(pin) + "/pull").c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const char* word = level ? "pull-up" : "pull-down";
    ssize_t n = write(fd, word, strlen(word));
    int err = n == (ssize_t)strlen(word) ? 0 : (n < 0 ? errno : EIO);
    close(fd);
    return err;
}
