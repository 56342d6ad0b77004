// Fault rules for the native suites: chosen calls of the layer's functions
// fail with a Win32 error of the test's choosing, so that a walk can fail
// every platform call of a download or an update in turn. The rules and the
// counting live here, in test code; the calls are caught on their way into
// the layer (fault_points.cpp), which itself carries nothing of this.
//
//     function[(name)]@first[-[last]]=error
//
// counts the calls of `function` (only those whose file or URL argument ends
// with `name`, when given; for MoveFileExA and CreateHardLinkA, either
// file's) and fails call
// numbers first..last (1-based; "N-" means from N on). Rules are separated
// by commas; "*" counts the calls of every function together ("*@5-=31":
// everything from the fifth call on fails, as if the process had been
// stopped there).
//
// Functions: fopen, fwrite, fflush, fclose, remove, rename, malloc,
// InternetOpenA, InternetOpenUrlA, HttpQueryInfoA, InternetQueryOptionA,
// InternetCombineUrlA, InternetReadFile, InternetCloseHandle, FindWindowW,
// ShellExecuteW, GetFileAttributesA, MoveFileExA, CreateHardLinkA.
#ifndef TESTS_FAULT_RULES_H
#define TESTS_FAULT_RULES_H

#include <windows.h>

#include <string>

// Replaces every rule and restarts the counts (null or "" clears them);
// false, and nothing changed, for malformed rules.
bool SetFaultRules(const char *rules);

// How many calls of `function` were seen since the rules were last set.
DWORD FaultCallCount(const char *function);
// Every function seen since then, with its count: "name count" lines.
std::string FaultCallCounts();

// Whether this thread is inside the functions above: their own allocations,
// in a program whose malloc is caught, are then no calls to count or fail.
bool InsideFaultRules();

// Counts one call of `function` with its file or URL argument (may be null;
// `second`, a move's destination, counts for a rule that names either) and
// says whether a rule fails it, with the code in *error.
bool FaultRuleHit(const char *function, const char *argument, DWORD *error, const char *second = nullptr);

#endif
