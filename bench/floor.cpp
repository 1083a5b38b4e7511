// The floor of an invocation: starts, links libvarnel.so and the C++
// runtime like pinctl does, and ends. GPIOAccess::isPinUsable only keeps
// the library a real dependency whatever the linker flags.
#include <varnel.h>

int main(int argc, char**)
{
    return GPIOAccess::isPinUsable(argc + 100) ? 1 : 0;
}
