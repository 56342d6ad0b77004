// The library's failure vocabulary, owned here: the steps a download can fail
// at, each with its label (the public ones of Larkspan.h), and the failure
// lines written for them. Every failure of a call passes through these
// functions and nowhere else; they never read the thread's last error, which
// the door (Larkspan, download.cpp) sets once, to the first failure's code.
#ifndef LARKSPAN_REPORT_H
#define LARKSPAN_REPORT_H

#include <windows.h>

#include <stddef.h>

// Every line the library writes is formatted into a buffer of this size.
const size_t kMessageSize = 512;

enum Step {
    kStepParameter,  // a null URL or path
    kStepOpen,       // InternetOpenA
    kStepOpenUrl,    // a URL judged, opened, its redirects followed
    kStepQuery,      // the response's head read
    kStepCoding,     // its transfer coding refused
    kStepLength,     // its length refused, or a body past it
    kStepFile,       // the file created
    kStepRead,       // a read of the body
    kStepWrite,      // a write to the file
    kStepFlush,      // the file's last writes
    kStepCloseFile,  // the file closed
    kStepMemory,     // a buffer taken
    kStepClose,      // a handle closed: written, fails nothing
};

// What one call has reported. The code of its first failure is the one its
// caller gets from GetLastError when the call fails. Later failures (a
// handle that would not close after a failed read) are written, but the
// first one says why.
struct Failures {
    bool any;
    DWORD first;
};

// Writes "<label>: <code>" (the code in lower-case hex) for `step` and
// returns `code`, so that a step fails with `return Fail(...)`.
DWORD Fail(Failures *failures, Step step, DWORD code);
// A final status outside 200-299: "HTTP Status Error: <status>", standing for
// LARKSPAN_ERROR_HTTP_STATUS | status.
DWORD FailStatus(Failures *failures, DWORD status);
// A body that ended before its length: "Incomplete Body Error: <received> of
// <announced> bytes", standing for ERROR_INTERNET_CONNECTION_ABORTED.
DWORD FailIncomplete(Failures *failures, unsigned long long received, unsigned long long announced);

#endif
