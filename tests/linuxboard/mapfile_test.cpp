// The map file as a process reads it, on a machine without GPIO chips.
// The map is read once per process: each case runs in a child of its own.
#include "run.h"
#include "sandbox.h"
#include "varnel.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class MapFile : public SandboxTest {
protected:
    // Runs check() in a child with the map text in VARNEL_PINMAP and its
    // standard error in a file; check's result code, and what it wrote there.
    int inChild(const std::string& map, int (*check)(), std::string& err)
    {
        writeFile("/tmp/pinmap", map);
        pid_t pid = fork();
        if (pid == 0) {
            setenv("VARNEL_PINMAP", "/tmp/pinmap", 1);
            int fd = open("/tmp/stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, STDERR_FILENO);
            _exit(check());
        }
        int status = 0;
        waitpid(pid, &status, 0);
        err = readFile("/tmp/stderr");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

int resultOf(int pin)
{
    GPIOPin gpio(pin);
    return gpio.getLastResult();
}

TEST_F(MapFile, WhatIsNoChipIsNeverOpenedNorUsable)
{
    std::string err;
    // /dev/null is a character device, but no GPIO chip.
    EXPECT_EQ(inChild(
                  "6 /dev/null 1\n7 /dev/gpiochip99 2\n8 no-such-label 0\n",
                  [] {
                      if (GPIOAccess::isPinUsable(6) || GPIOAccess::isPinUsable(7) ||
                          GPIOAccess::isPinUsable(8) || GPIOAccess::isPinUsable(9))
                          return 1;
                      if (resultOf(6) != ENODEV || resultOf(7) != ENOENT || resultOf(8) != ENOENT ||
                          resultOf(9) != ENODEV)
                          return 2;
                      return 0;
                  },
                  err),
              0);
    EXPECT_EQ(err, "");
}

TEST_F(MapFile, AMalformedMapIsOneLineOnStandardErrorOnce)
{
    std::string err;
    EXPECT_EQ(inChild(
                  "6 /dev/gpiochip0 1\n\nseven /dev/gpiochip0 2\n",
                  [] {
                      for (int pin = 0; pin <= 26; pin++) {
                          if (GPIOAccess::isPinUsable(pin) || resultOf(pin) != ENODEV)
                              return 1;
                      }
                      return 0;
                  },
                  err),
              0);
    EXPECT_EQ(err, "varnel: /tmp/pinmap:3: malformed pin map: bad pin number 'seven'\n");
}

}  // namespace
