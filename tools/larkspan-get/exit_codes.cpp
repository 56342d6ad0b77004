#include "exit_codes.h"

#include <Larkspan.h>

#include <stdlib.h>
#include <string.h>

namespace {

// WinINet's numbers, as the library writes them after its labels (hex).
const unsigned long kTimeout = 12002, kInvalidUrl = 12005, kUnrecognizedScheme = 12006, kNameNotResolved = 12007,
                    kCannotConnect = 12029, kConnectionAborted = 12030, kConnectionReset = 12031,
                    kHttpsToHttp = 12040, kNothingReceived = 12151, kInvalidServerResponse = 12152, kRedirectFailed = 12156,
                    kSecurityChannel = 12157, kNotEnoughMemory = 8;

bool IsCertificateError(unsigned long code)
{
    switch (code) {
    case 12037: case 12038: case 12045: case 12055: case 12057: case 12169: case 12170: return true;
    default: return false;
    }
}

// The cause a network error names; 0 for one that names none.
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
    default: return 0;
    }
}

bool Starts(const std::string &line, const char *label)
{
    return line.compare(0, strlen(label), label) == 0 && line.compare(strlen(label), 2, ": ") == 0;
}

int LineCause(const std::string &line)
{
    size_t separator = line.rfind(": ");
    unsigned long code = separator == std::string::npos ? 0 : strtoul(line.c_str() + separator + 2, NULL, 16);
    if (Starts(line, "HTTP Status Error")) return kExitHttpStatus;
    if (Starts(line, "Incomplete Body Error")) return kExitShortBody;
    if (Starts(line, "Transfer-Encoding Error")) return kExitTransferCoding;
    if (Starts(line, "Content-Length Error")) return kExitServerReply;
    if (Starts(line, "malloc Error")) return kExitMemory;
    if (Starts(line, "fopen Error") || Starts(line, "fwrite Error") || Starts(line, "fflush Error") ||
        Starts(line, "fclose Error"))
        return kExitWrite;
    if (Starts(line, "InternetReadFile Error")) return NetworkCause(code, true);
    if (Starts(line, "InternetOpenUrl Error") || Starts(line, "HttpQueryInfo Error")) return NetworkCause(code, false);
    return 0;  // CloseHandle Error and the like: no cause of a failure
}

}  // namespace

const char *ExitCodeTable()
{
    return "  0    stored\n"
           "  1    the scheme is not http or https, or https was redirected to http    (curl's 1)\n"
           "  2    wrong arguments, or a URL without a usable name and no -o           (curl's 2)\n"
           "  3    the URL is not valid                                                (curl's 3)\n"
           "  6    the host's name could not be resolved                               (curl's 6)\n"
           "  7    could not connect                                                   (curl's 7)\n"
           "  8    the server's reply is not valid HTTP                                (curl's 8)\n"
           "  18   the body ended short                                                (curl's 18)\n"
           "  22   the final HTTP status is outside 200-299                            (curl's 22)\n"
           "  23   the file could not be created, written or put in place,\n"
           "       or standard output could not be written                             (curl's 23)\n"
           "  27   out of memory                                                       (curl's 27)\n"
           "  28   timed out                                                           (curl's 28)\n"
           "  35   the secure connection could not be set up                           (curl's 35)\n"
           "  47   more than 10 redirects                                              (curl's 47)\n"
           "  52   the server closed the connection without a reply                    (curl's 52)\n"
           "  56   the connection broke before the body                                (curl's 56)\n"
           "  60   the server's certificate is not accepted                            (curl's 60)\n"
           "  61   a transfer coding other than chunked                                (curl's 61)\n"
           "  120  stored, but the body looks like an HTML page\n"
           "  121  the Larkspan library could not be loaded\n"
           "  122  failed for another reason (the lines above say which)\n"
           "  130  interrupted (Ctrl-C)\n";
}

const char *ExitCodeWords(int code)
{
    switch (code) {
    case kExitStored: return "stored";
    case kExitUnsupported: return "scheme not supported";
    case kExitUsage: return "wrong arguments";
    case kExitBadUrl: return "URL not valid";
    case kExitResolve: return "host not resolved";
    case kExitConnect: return "could not connect";
    case kExitServerReply: return "reply not valid HTTP";
    case kExitShortBody: return "body ended short";
    case kExitHttpStatus: return "HTTP status outside 2xx";
    case kExitWrite: return "could not write the output";
    case kExitMemory: return "out of memory";
    case kExitTimeout: return "timed out";
    case kExitTls: return "secure connection failed";
    case kExitTooManyRedirects: return "too many redirects";
    case kExitEmptyReply: return "no reply";
    case kExitReceive: return "connection broke";
    case kExitCertificate: return "certificate not accepted";
    case kExitTransferCoding: return "transfer coding refused";
    case kExitHtml: return "stored, but it looks like an HTML page";
    case kExitNoLibrary: return "library not loaded";
    case kExitInterrupted: return "interrupted";
    default: return "failed";
    }
}

int ExitCodeForDownload(int result, const std::vector<std::string> &failures)
{
    if (result == LARKSPAN_OK) return kExitStored;
    if (result == LARKSPAN_HTML) return kExitHtml;
    for (const std::string &line : failures)
        if (int cause = LineCause(line)) return cause;
    return kExitOther;
}
