// uapiline: one GPIO line through the kernel's character device (uAPI v2),
// as a program other than pinctl sees it. Linked statically for the VM.
//
//   uapiline info CHIP LINE           prints "used=0|1 dir=in|out consumer=NAME"
//   uapiline hold CHIP LINE           requests the line as an input, prints
//                                     "held" and sleeps until killed
//   uapiline edges CHIP LINE SECONDS  counts both edges for SECONDS, prints
//                                     "rising=R falling=F"
#include <errno.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

static int fail(const char* what, const char* chip, unsigned line)
{
    fprintf(stderr, "uapiline: %s %s %u: %s\n", what, chip, line, strerror(errno));
    return 1;
}

static int requestLine(int chipfd, unsigned line, unsigned long long flags)
{
    struct gpio_v2_line_request req;
    memset(&req, 0, sizeof req);
    req.offsets[0] = line;
    req.num_lines = 1;
    req.config.flags = flags;
    snprintf(req.consumer, sizeof req.consumer, "uapiline");
    if (ioctl(chipfd, GPIO_V2_GET_LINE_IOCTL, &req) < 0)
        return -1;
    return req.fd;
}

static int showInfo(int chipfd, const char* chip, unsigned line)
{
    struct gpio_v2_line_info info;
    memset(&info, 0, sizeof info);
    info.offset = line;
    if (ioctl(chipfd, GPIO_V2_GET_LINEINFO_IOCTL, &info) < 0)
        return fail("info", chip, line);
    printf("used=%d dir=%s consumer=%s\n", (info.flags & GPIO_V2_LINE_FLAG_USED) ? 1 : 0,
           (info.flags & GPIO_V2_LINE_FLAG_OUTPUT) ? "out" : "in", info.consumer);
    return 0;
}

static int hold(int chipfd, const char* chip, unsigned line)
{
    if (requestLine(chipfd, line, GPIO_V2_LINE_FLAG_INPUT) < 0)
        return fail("request", chip, line);
    printf("held\n");
    fflush(stdout);
    for (;;)
        pause();
}

static int countEdges(int chipfd, const char* chip, unsigned line, int seconds)
{
    int fd = requestLine(chipfd, line, GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_EDGE_RISING |
                                           GPIO_V2_LINE_FLAG_EDGE_FALLING);
    if (fd < 0)
        return fail("request", chip, line);
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long end = now.tv_sec * 1000LL + now.tv_nsec / 1000000 + seconds * 1000LL;
    int rising = 0, falling = 0;
    for (;;) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long left = end - (now.tv_sec * 1000LL + now.tv_nsec / 1000000);
        if (left <= 0)
            break;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, (int)left) <= 0)
            continue;
        struct gpio_v2_line_event ev;
        if (read(fd, &ev, sizeof ev) != (ssize_t)sizeof ev)
            return fail("read", chip, line);
        if (ev.id == GPIO_V2_LINE_EVENT_RISING_EDGE)
            rising++;
        else
            falling++;
    }
    printf("rising=%d falling=%d\n", rising, falling);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: uapiline info|hold|edges CHIP LINE [SECONDS]\n");
        return 2;
    }
    const char* chip = argv[2];
    unsigned line = (unsigned)strtoul(argv[3], NULL, 10);
    int chipfd = open(chip, O_RDONLY | O_CLOEXEC);
    if (chipfd < 0)
        return fail("open", chip, line);
    if (strcmp(argv[1], "info") == 0)
        return showInfo(chipfd, chip, line);
    if (strcmp(argv[1], "hold") == 0)
        return hold(chipfd, chip, line);
    if (strcmp(argv[1], "edges") == 0 && argc > 4)
        return countEdges(chipfd, chip, line, atoi(argv[4]));
    fprintf(stderr, "uapiline: unknown command %s\n", argv[1]);
    return 2;
}
