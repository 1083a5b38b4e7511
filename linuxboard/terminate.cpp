// Where the C++ runtime is linked into a binary, its default terminate
// handler is libstdc++'s verbose one, which prints an escaped exception's
// demangled type: it brings the demangler, its tables and their
// relocations, loaded at every start for a case that never comes (nothing
// here throws but an allocation failing). Terminating just aborts.
#include <cstdlib>

namespace __gnu_cxx {

void __verbose_terminate_handler()
{
    std::abort();
}

}  // namespace __gnu_cxx
