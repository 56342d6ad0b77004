// Linked only into programs the suites build for themselves (natively): the
// fault rules a test hands a child process in WINPOSIX_FAULTS are set before
// the program's main runs. Nothing that ships reads such a variable or has
// rules to set.
#include "fault_rules.h"

#include <cstdio>
#include <cstdlib>

namespace {

struct FaultsFromEnvironment {
    FaultsFromEnvironment()
    {
        const char *rules = getenv("WINPOSIX_FAULTS");
        if (rules && !SetFaultRules(rules)) {
            fprintf(stderr, "malformed WINPOSIX_FAULTS: %s\n", rules);
            exit(125);
        }
    }
} faultsFromEnvironment;

}  // namespace
