// larkspan-get's exit codes (exit_codes.h): one table of the codes with their
// words, and one of the library's steps, found by the labels its header
// publishes. Nothing is read back from a failure line but its label.
#include "exit_codes.h"

#include <Larkspan.h>

#include <stdio.h>
#include <string.h>

namespace {

struct ExitCodeRow {
    int code;
    const char *words;  // the summary line's
    const char *help;   // the help text's
};

// Every code, in order; "(curl's N)" where curl's tool has the same cause.
const ExitCodeRow kExitCodes[] = {
    {kExitStored, "stored", "stored"},
    {kExitUnsupported, "scheme not supported", "the scheme is not http or https, or https was redirected to http"},
    {kExitUsage, "wrong arguments", "wrong arguments, or a URL without a usable name and no -o"},
    {kExitBadUrl, "URL not valid", "the URL is not valid"},
    {kExitResolve, "host not resolved", "the host's name could not be resolved"},
    {kExitConnect, "could not connect", "could not connect"},
    {kExitServerReply, "reply not valid HTTP", "the server's reply is not valid HTTP"},
    {kExitShortBody, "body ended short", "the body ended short"},
    {kExitHttpStatus, "HTTP status outside 2xx", "the final HTTP status is outside 200-299"},
    {kExitWrite, "could not write the output",
     "the file could not be created, written or put in place,\n       or standard output could not be written"},
    {kExitMemory, "out of memory", "out of memory"},
    {kExitTimeout, "timed out", "timed out"},
    {kExitTls, "secure connection failed", "the secure connection could not be set up"},
    {kExitTooManyRedirects, "too many redirects", "more than 10 redirects"},
    {kExitEmptyReply, "no reply", "the server closed the connection without a reply"},
    {kExitReceive, "connection broke", "the connection broke before the body"},
    {kExitCertificate, "certificate not accepted", "the server's certificate is not accepted"},
    {kExitTransferCoding, "transfer coding refused", "a transfer coding other than chunked"},
    {kExitHtml, "stored, but it looks like an HTML page", "stored, but the body looks like an HTML page"},
    {kExitNoLibrary, "library not loaded", "the Larkspan library could not be loaded"},
    {kExitOther, "failed", "failed for another reason (the lines above say which)"},
    {kExitInterrupted, "interrupted", "interrupted (Ctrl-C)"},
};

// The codes below 100 are curl's own numbers for the same causes.
bool IsCurls(int code)
{
    return code > kExitStored && code < kExitHtml;
}

// WinINet's numbers, as the library reports them.
const unsigned long kTimeout = 12002, kInvalidUrl = 12005, kUnrecognizedScheme = 12006, kNameNotResolved = 12007,
                    kCannotConnect = 12029, kConnectionAborted = 12030, kConnectionReset = 12031,
                    kHttpsToHttp = 12040, kNothingReceived = 12151, kInvalidServerResponse = 12152,
                    kRedirectFailed = 12156, kSecurityChannel = 12157, kNotEnoughMemory = 8;

bool IsCertificateError(unsigned long code)
{
    switch (code) {
    case 12037: case 12038: case 12045: case 12055: case 12057: case 12169: case 12170: return true;
    default: return false;
    }
}

// The cause a network error names; kExitOther for one that names none.
int NetworkCause(unsigned long code, bool duringBody)
{
    if (IsCertificateError(code)) return kExitCertificate;
    switch (code) {
    case kTimeout: return kExitTimeout;
    case kInvalidUrl: return kExitBadUrl;
    case kUnrecognizedScheme: case kHttpsToHttp: return kExitUnsupported;
    case kNameNotResolved: return kExitResolve;
    case kCannotConnect: return kExitConnect;
    // A body that breaks off (natively, a chunked one cut short) is short;
    // before the body, the connection broke.
    case kConnectionAborted: case kConnectionReset: return duringBody ? kExitShortBody : kExitReceive;
    case kNothingReceived: return kExitEmptyReply;
    case kInvalidServerResponse: return kExitServerReply;
    case kRedirectFailed: return kExitTooManyRedirects;
    case kSecurityChannel: case 12044: return kExitTls;
    case kNotEnoughMemory: return kExitMemory;
    default: return kExitOther;
    }
}

const int kByNetworkError = -1, kByErrorDuringBody = -2;

struct StepRow {
    const char *label;
    Concern concern;
    int exit;  // the exit code, or one decided by the error (kByNetworkError ...)
};

// The library's steps (Larkspan.h), each with what its failure concerns and
// the exit code it earns.
const StepRow kSteps[] = {
    {LARKSPAN_LABEL_PARAMETER, kAboutUrl, kExitOther},
    {LARKSPAN_LABEL_OPEN, kAboutUrl, kExitOther},
    {LARKSPAN_LABEL_OPEN_URL, kAboutUrl, kByNetworkError},
    {LARKSPAN_LABEL_QUERY, kAboutUrl, kByNetworkError},
    {LARKSPAN_LABEL_STATUS, kAboutUrl, kExitHttpStatus},
    {LARKSPAN_LABEL_CODING, kAboutUrl, kExitTransferCoding},
    {LARKSPAN_LABEL_LENGTH, kAboutUrl, kExitServerReply},
    {LARKSPAN_LABEL_FILE, kAboutFile, kExitWrite},
    {LARKSPAN_LABEL_READ, kAboutUrl, kByErrorDuringBody},
    {LARKSPAN_LABEL_WRITE, kAboutFile, kExitWrite},
    {LARKSPAN_LABEL_FLUSH, kAboutFile, kExitWrite},
    {LARKSPAN_LABEL_CLOSE_FILE, kAboutFile, kExitWrite},
    {LARKSPAN_LABEL_INCOMPLETE, kAboutUrl, kExitShortBody},
    {LARKSPAN_LABEL_MEMORY, kAboutUrl, kExitMemory},
    {LARKSPAN_LABEL_CLOSE, kAboutUrl, kExitOther},
};

// The step a failure line is about: the one whose label, and ": ", start it.
const StepRow *StepOf(const std::string &line)
{
    for (const StepRow &step : kSteps) {
        size_t length = strlen(step.label);
        if (line.compare(0, length, step.label) == 0 && line.compare(length, 2, ": ") == 0) return &step;
    }
    return nullptr;
}

}  // namespace

std::string ExitCodeTable()
{
    std::string table;
    for (const ExitCodeRow &row : kExitCodes) {
        char code[8];
        snprintf(code, sizeof code, "  %-5d", row.code);
        std::string line = std::string(code) + row.help;
        if (IsCurls(row.code)) {
            size_t last = line.rfind('\n');
            size_t width = line.size() - (last == std::string::npos ? 0 : last + 1);
            line += std::string(width < 75 ? 75 - width : 1, ' ') + "(curl's " + std::to_string(row.code) + ")";
        }
        table += line + "\n";
    }
    return table;
}

const char *ExitCodeWords(int code)
{
    for (const ExitCodeRow &row : kExitCodes)
        if (row.code == code) return row.words;
    return "failed";
}

Concern FailureConcerns(const std::string &line)
{
    const StepRow *step = StepOf(line);
    return step ? step->concern : kAboutUrl;
}

int ExitCodeForDownload(int result, const std::string &firstFailure, unsigned long error)
{
    if (result == LARKSPAN_OK) return kExitStored;
    if (result == LARKSPAN_HTML) return kExitHtml;
    const StepRow *step = StepOf(firstFailure);
    if (!step) return kExitOther;
    if (step->exit == kByNetworkError) return NetworkCause(error, false);
    if (step->exit == kByErrorDuringBody) return NetworkCause(error, true);
    return step->exit;
}
