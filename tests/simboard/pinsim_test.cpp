// The pinsim command, run as a program through the shell.
#include "board_fixture.h"

#include <algorithm>
#include <climits>
#include <fstream>
#include <sstream>

namespace {

// The pinsim built with these tests: beside this binary, else in the
// simboard folder of the build tree.
std::string pinsimPath() {
#ifdef PINSIM_BIN
    return PINSIM_BIN;
#else
    char self[PATH_MAX] = {};
    const std::string path(self, std::max<ssize_t>(0, readlink("/proc/self/exe", self, PATH_MAX)));
    const std::string folder = path.substr(0, path.rfind('/'));
    const std::string beside = folder + "/pinsim";
    return access(beside.c_str(), X_OK) == 0 ? beside : folder + "/../simboard/pinsim";
#endif
}

class PinsimTest : public BoardTest {
protected:
    // Runs "pinsim ARGS" (shell words), through the emulator that
    // PINCTL_TEST_LAUNCHER names if any; fills out and err, returns the status.
    int pinsim(const std::string& args) {
        const char* launcher = getenv("PINCTL_TEST_LAUNCHER");
        const std::string command = (launcher ? std::string(launcher) + " " : std::string()) +
            pinsimPath() + " " + args + " >" + dir + "/out 2>" + dir + "/err";
        const int status = system(command.c_str());
        out = readFile(dir + "/out");
        err = readFile(dir + "/err");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    static std::string readFile(const std::string& path) {
        std::stringstream text;
        text << std::ifstream(path).rdbuf();
        return text.str();
    }
    std::string out, err;
};

TEST_F(PinsimTest, ShowListsEveryUsablePinInOrder) {
    ASSERT_EQ(pinsim("show"), 0) << err;
    std::string expected;
    for (int pin = 0; pin < 27; ++pin)
        if (GPIOAccess::isPinUsable(pin))
            expected += "pin=" + std::to_string(pin) + " direction=in level=0 pwm=off irq=off fail=0\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(err, "");
}

TEST_F(PinsimTest, CommandsChangeWhatTheLibrarySees) {
    GPIOPin pin(6);
    EXPECT_EQ(pinsim("level 6 1"), 0);
    EXPECT_EQ(pin.get(), 1);
    EXPECT_EQ(pinsim("fail 6 -300"), 0);
    EXPECT_EQ(pin.get(), -1);
    EXPECT_EQ(pin.getLastResult(), -300);
    EXPECT_EQ(pinsim("fail 6 0"), 0);
    pin.setPWM(100, 30);
    EXPECT_EQ(pinsim("show 6"), 0);
    EXPECT_EQ(out, "pin=6 direction=in level=1 pwm=100/30 irq=off fail=0\n");
    EXPECT_EQ(pinsim("stop-pwm 6"), 0);
    EXPECT_FALSE(pin.isPWMRunning());
    EXPECT_EQ(pinsim("reset"), 0);
    EXPECT_EQ(pin.get(), 0);
    EXPECT_EQ(pinsim("fail 6 -2147483648"), 0);
}

TEST_F(PinsimTest, BadArgumentsGiveOneLineAndStatusTwo) {
    for (const char* args :
         {"bogus", "show 2", "show 6 7", "show x", "level 6", "level 6 2", "level 6 1 1",
          "level ' 6' 1", "level 0x6 1", "fail 6 2147483648", "fail 6 99999999999999999999",
          "fail 6 1x", "fail 6 ''", "fail 27 1", "stop-pwm", "stop-pwm -1", "reset now"}) {
        EXPECT_EQ(pinsim(args), 2) << args;
        EXPECT_EQ(err.rfind("pinsim: ", 0), 0u) << args << ": " << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(out, "");
    }
    EXPECT_EQ(pinsim(""), 2);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

TEST_F(PinsimTest, BoardFaultGivesOneLineAndStatusOne) {
    ASSERT_EQ(system(("touch " + dir + "/file").c_str()), 0);
    setenv("PINSIM_DIR", (dir + "/file/board").c_str(), 1);
    EXPECT_EQ(pinsim("show"), 1);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(out, "");
}

}  // namespace
