// The failure lines (report.h): one table of the steps' labels, and the one
// form every line takes.
#include "report.h"

#include <Larkspan.h>
#include <wininet.h>

#include <stdio.h>

namespace {

// Indexed by Step.
const char *const kLabels[] = {
    LARKSPAN_LABEL_PARAMETER, LARKSPAN_LABEL_OPEN,       LARKSPAN_LABEL_OPEN_URL, LARKSPAN_LABEL_QUERY,
    LARKSPAN_LABEL_CODING,    LARKSPAN_LABEL_LENGTH,     LARKSPAN_LABEL_FILE,     LARKSPAN_LABEL_READ,
    LARKSPAN_LABEL_WRITE,     LARKSPAN_LABEL_FLUSH,      LARKSPAN_LABEL_CLOSE_FILE, LARKSPAN_LABEL_MEMORY,
    LARKSPAN_LABEL_CLOSE,
};
static_assert(sizeof kLabels / sizeof *kLabels == kStepClose + 1, "a label for every step");

DWORD WriteLine(Failures *failures, DWORD code, const char *line)
{
    if (!failures->any) failures->first = code;
    failures->any = true;
    OutputDebugStringA(line);
    return code;
}

}  // namespace

DWORD Fail(Failures *failures, Step step, DWORD code)
{
    char message[kMessageSize];
    wsprintfA(message, "%s: %x", kLabels[step], code);
    return WriteLine(failures, code, message);
}

DWORD FailStatus(Failures *failures, DWORD status)
{
    char message[kMessageSize];
    wsprintfA(message, LARKSPAN_LABEL_STATUS ": %u", (unsigned)status);
    return WriteLine(failures, LARKSPAN_ERROR_HTTP_STATUS | (status & 0xFFFF), message);
}

DWORD FailIncomplete(Failures *failures, unsigned long long received, unsigned long long announced)
{
    char message[kMessageSize];
    snprintf(message, sizeof message, LARKSPAN_LABEL_INCOMPLETE ": %llu of %llu bytes", received, announced);
    return WriteLine(failures, ERROR_INTERNET_CONNECTION_ABORTED, message);
}
