// The library's debugger lines for failures: "<label>: <last error in hex>".
#ifndef LARKSPAN_REPORT_H
#define LARKSPAN_REPORT_H

#include <windows.h>

#include <stddef.h>

// Every line the library writes is formatted into a buffer of this size.
const size_t kMessageSize = 512;

// Writes "<label>: <code>" with the thread's last error, in lowercase hex.
void ReportFailure(const char *label);

// The same with `code`, which also becomes the thread's last error.
void ReportFailureWith(DWORD code, const char *label);

#endif
