// uapiline: one GPIO line through the kernel's character device (uAPI v2),
// as a program other than pinctl sees it. Linked statically for the VM.
//
//   uapiline info CHIP LINE           prints "used=0|1 dir=in|out consumer=NAME"
//   uapiline hold CHIP LINE [LABEL]   requests the line as an input (under
//                                     LABEL, default "uapiline"), prints
//                                     "held" and sleeps until killed
//   uapiline edges CHIP LINE SECONDS  counts both edges for SECONDS, prints
//                                     "rising=R falling=F"
//   uapiline toggle CHIP LINE HZ SECONDS
//                                     drives the line as a square wave of HZ
//                                     for SECONDS, each change due at an
//                                     absolute time (late ones are skipped,
//                                     not bunched): the least any software
//                                     PWM can do on this machine
//   uapiline as UID COMMAND [ARG...]  runs COMMAND as user (and group) UID
//   uapiline flood SOCKET COUNT SECONDS
//                                     sends up to COUNT datagrams of junk to
//                                     the Unix socket SOCKET as fast as it
//                                     takes them, for SECONDS, and prints
//                                     "sent=N"
//   uapiline catch SOCKET             binds a datagram socket at SOCKET that
//                                     anyone may send to, prints "ready",
//                                     then "datagram descriptors=N" for each
//                                     that comes, until killed
#include <errno.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

static int fail(const char* what, const char* chip, unsigned line)
{
    fprintf(stderr, "uapiline: %s %s %u: %s\n", what, chip, line, strerror(errno));
    return 1;
}

static const char* label = "uapiline";

static int requestLine(int chipfd, unsigned line, unsigned long long flags)
{
    struct gpio_v2_line_request req;
    memset(&req, 0, sizeof req);
    req.offsets[0] = line;
    req.num_lines = 1;
    req.config.flags = flags;
    snprintf(req.consumer, sizeof req.consumer, "%s", label);
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

static int toggle(int chipfd, const char* chip, unsigned line, int hz, int seconds)
{
    int fd = requestLine(chipfd, line, GPIO_V2_LINE_FLAG_OUTPUT);
    if (fd < 0 || hz < 1)
        return fail("request", chip, line);
    const long long half = 500000000LL / hz;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long start = now.tv_sec * 1000000000LL + now.tv_nsec;
    long long end = start + seconds * 1000000000LL;
    for (long long due = start + half; due < end; due += half) {
        struct timespec at = {(time_t)(due / 1000000000LL), (long)(due % 1000000000LL)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, NULL);
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long late = now.tv_sec * 1000000000LL + now.tv_nsec - due;
        if (late >= half)
            due += late / half * half;
        struct gpio_v2_line_values v = {(due - start) / half % 2 ? 1ULL : 0ULL, 1};
        if (ioctl(fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &v) < 0)
            return fail("set", chip, line);
    }
    return 0;
}

static int runAs(char** argv)
{
    gid_t gid = (gid_t)strtoul(argv[0], NULL, 10);
    if (setgroups(0, NULL) != 0 || setgid(gid) != 0 || setuid((uid_t)gid) != 0) {
        perror("uapiline as");
        return 1;
    }
    execvp(argv[1], argv + 1);
    perror("uapiline as");
    return 127;
}

static int flood(const char* path, int count, int seconds)
{
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    char junk[16];
    memset(junk, 0xee, sizeof junk);
    int sent = 0;
    time_t end = time(NULL) + seconds;
    while (sent < count && time(NULL) < end) {
        if (sendto(s, junk, sizeof junk, 0, (struct sockaddr*)&addr, sizeof addr) == sizeof junk)
            sent++;
        else if (errno != EAGAIN)
            break;
    }
    printf("sent=%d\n", sent);
    return 0;
}

static int catchDatagrams(const char* path)
{
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
    int s = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (s < 0 || bind(s, (struct sockaddr*)&addr, sizeof addr) != 0 || chmod(path, 0777) != 0) {
        perror("uapiline catch");
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    for (;;) {
        char data[256], control[256];
        struct iovec iov = {data, sizeof data};
        struct msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        if (recvmsg(s, &msg, 0) < 0)
            continue;
        int fds = 0;
        for (struct cmsghdr* c = CMSG_FIRSTHDR(&msg); c != NULL; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS)
                fds += (int)((c->cmsg_len - CMSG_LEN(0)) / sizeof(int));
        }
        printf("datagram descriptors=%d\n", fds);
        fflush(stdout);
    }
}

int main(int argc, char** argv)
{
    if (argc > 3 && strcmp(argv[1], "as") == 0)
        return runAs(argv + 2);
    if (argc > 4 && strcmp(argv[1], "flood") == 0)
        return flood(argv[2], atoi(argv[3]), atoi(argv[4]));
    if (argc > 2 && strcmp(argv[1], "catch") == 0)
        return catchDatagrams(argv[2]);
    if (argc < 4) {
        fprintf(stderr, "usage: uapiline info|hold|edges|toggle CHIP LINE [HZ] [SECONDS]\n");
        return 2;
    }
    const char* chip = argv[2];
    unsigned line = (unsigned)strtoul(argv[3], NULL, 10);
    int chipfd = open(chip, O_RDONLY | O_CLOEXEC);
    if (chipfd < 0)
        return fail("open", chip, line);
    if (strcmp(argv[1], "info") == 0)
        return showInfo(chipfd, chip, line);
    if (strcmp(argv[1], "hold") == 0) {
        if (argc > 4)
            label = argv[4];
        return hold(chipfd, chip, line);
    }
    if (strcmp(argv[1], "edges") == 0 && argc > 4)
        return countEdges(chipfd, chip, line, atoi(argv[4]));
    if (strcmp(argv[1], "toggle") == 0 && argc > 5)
        return toggle(chipfd, chip, line, atoi(argv[4]), atoi(argv[5]));
    fprintf(stderr, "uapiline: unknown command %s\n", argv[1]);
    return 2;
}
