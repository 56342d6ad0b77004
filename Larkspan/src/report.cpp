// Failure lines on the debugger output, in the one form every step uses, and
// the first failure's code kept for the caller.
#include "report.h"

void ReportFailureLine(Failures *failures, DWORD code, const char *line)
{
    if (!failures->any) failures->first = code;
    failures->any = true;
    OutputDebugStringA(line);
}

void ReportFailureWith(Failures *failures, DWORD code, const char *label)
{
    char message[kMessageSize];
    wsprintfA(message, "%s: %x", label, code);
    ReportFailureLine(failures, code, message);
}

void ReportFailure(Failures *failures, const char *label)
{
    ReportFailureWith(failures, GetLastError(), label);
}
