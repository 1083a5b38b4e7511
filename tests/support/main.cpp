// The test main: this process adopts the orphans of the processes it
// starts (workers outlive the invocations that fork them), so that every
// one of them can be found, killed and reaped.
#include <gtest/gtest.h>
#include <sys/prctl.h>

int main(int argc, char** argv)
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
