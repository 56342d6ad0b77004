// Linked only into programs the suites build for themselves (natively): the
// fault rules a test hands a child process in WINPOSIX_FAULTS are set before
// the program's main runs, and where WINPOSIX_FAULT_COUNTS names a file, the
// calls it made of each function are written there as it exits, so that a
// walk fails each of them in turn. Nothing that ships reads such a variable
// or has rules to set.
#include "fault_rules.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct FaultsFromEnvironment {
    FaultsFromEnvironment()
    {
        const char *rules = getenv("WINPOSIX_FAULTS");
        if (rules && !SetFaultRules(rules)) {
            fprintf(stderr, "malformed WINPOSIX_FAULTS: %s\n", rules);
            exit(125);
        }
        if (getenv("WINPOSIX_FAULT_COUNTS")) atexit(WriteCounts);
    }
    static void WriteCounts()
    {
        std::string lines = FaultCallCounts();  // before this function's own calls count
        FILE *counts = fopen(getenv("WINPOSIX_FAULT_COUNTS"), "w");
        if (!counts) return;
        fputs(lines.c_str(), counts);
        fclose(counts);
    }
} faultsFromEnvironment;

}  // namespace
