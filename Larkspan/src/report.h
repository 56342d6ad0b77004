// The library's failure lines on the debugger output, and the one code the
// caller is given for them.
#ifndef LARKSPAN_REPORT_H
#define LARKSPAN_REPORT_H

#include <windows.h>

#include <stddef.h>

// Every line the library writes is formatted into a buffer of this size.
const size_t kMessageSize = 512;

// What one call has reported. The code of its first failure is the one its
// caller gets from GetLastError when the call fails: set there once, as the
// call returns, because every handle and buffer released on the way out may
// change the thread's last error. Later failures (a handle that would not
// close after a failed read) are written, but the first one says why.
struct Failures {
    bool any;
    DWORD first;
};

// Writes "<label>: <code>" with the thread's last error, in lowercase hex.
void ReportFailure(Failures *failures, const char *label);
// The same with `code`.
void ReportFailureWith(Failures *failures, DWORD code, const char *label);
// A failure line in words of its own, standing for `code`.
void ReportFailureLine(Failures *failures, DWORD code, const char *line);

#endif
