// Failure lines on the debugger output, in the one form every step uses.
#include "report.h"

void ReportFailure(const char *label)
{
    char message[kMessageSize];
    DWORD code = GetLastError();
    wsprintfA(message, "%s: %x", label, code);
    OutputDebugStringA(message);
}

void ReportFailureWith(DWORD code, const char *label)
{
    SetLastError(code);
    ReportFailure(label);
}
