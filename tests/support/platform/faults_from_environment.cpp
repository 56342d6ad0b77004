// Linked only into programs the suites build for themselves (natively): the
// fault rules a test hands a child process in WINPOSIX_FAULTS are set before
// the program's main runs. The layer itself reads no such variable, so what
// ships can't be made to fail by one.
#include <winposix.h>

#include <cstdio>
#include <cstdlib>

namespace {

struct FaultsFromEnvironment {
    FaultsFromEnvironment()
    {
        const char *rules = getenv("WINPOSIX_FAULTS");
        if (rules && !WinPosix_SetFaults(rules)) {
            fprintf(stderr, "malformed WINPOSIX_FAULTS: %s\n", rules);
            exit(125);
        }
    }
} faultsFromEnvironment;

}  // namespace
