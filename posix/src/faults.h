// Fault injection shared by the layer's functions (rules: see winposix.h):
// a rule makes chosen calls of a function fail with a code of its choosing,
// so that tests can walk every failure path one call at a time.
#ifndef WINPOSIX_FAULTS_H
#define WINPOSIX_FAULTS_H

#include <windows.h>

// Counts one call of `function` with its file or URL argument (may be null)
// and says whether a rule makes it fail; if so, *error holds the code to fail with.
// A call on two files (`second`: a move's destination) counts for a rule
// that names either.
bool FaultRuleHit(const char *function, const char *argument, DWORD *error, const char *second = nullptr);

// The first line of a layer function: when a rule fails the call, the last
// error is set to the rule's code and the function only returns:
//     if (FaultInjected("InternetOpenA", agent)) return nullptr;
bool FaultInjected(const char *function, const char *argument, const char *second = nullptr);
// For the runtime's functions, which report through errno as well.
bool RuntimeFaultInjected(const char *function, const char *argument);

#endif
