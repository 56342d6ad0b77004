// larkspan-get's exit codes, one per cause. They are stable: scripts test
// them. Where curl's tool has a code for the same cause, it is curl's number
// (marked "curl"); the causes curl has no code for take numbers above the
// highest curl has used, so a script written for one tool never reads the
// other's code as a different cause.
#ifndef LARKSPAN_GET_EXIT_CODES_H
#define LARKSPAN_GET_EXIT_CODES_H

#include <string>

enum ExitCode {
    kExitStored = 0,
    kExitUnsupported = 1,         // curl: a scheme other than http and https, or https redirected to http
    kExitUsage = 2,               // curl: wrong arguments
    kExitBadUrl = 3,              // curl: the URL is not valid
    kExitResolve = 6,             // curl: the host's name could not be resolved
    kExitConnect = 7,             // curl: could not connect
    kExitServerReply = 8,         // curl: the server's reply is not valid HTTP
    kExitShortBody = 18,          // curl: the body ended before its end
    kExitHttpStatus = 22,         // curl (with -f): a final HTTP status outside 200-299
    kExitWrite = 23,              // curl: the file could not be created, written or put in place
    kExitMemory = 27,             // curl: out of memory
    kExitTimeout = 28,            // curl: timed out
    kExitTls = 35,                // curl: the secure connection could not be set up
    kExitTooManyRedirects = 47,   // curl: more than 10 redirects
    kExitEmptyReply = 52,         // curl: the server closed the connection without a reply
    kExitReceive = 56,            // curl: the connection broke
    kExitCertificate = 60,        // curl: the server's certificate is not accepted
    kExitTransferCoding = 61,     // curl: a transfer coding other than chunked
    kExitHtml = 120,              // stored, but the body looks like an HTML page
    kExitNoLibrary = 121,         // the library could not be loaded
    kExitOther = 122,             // failed for another reason (the lines above say which)
    kExitInterrupted = 130,       // Ctrl-C (128 + the signal's number for others, as shells report)
};

// The help text's table, one line per code.
std::string ExitCodeTable();

// A few words for a code, for the summary line.
const char *ExitCodeWords(int code);

// What a failure line of the library concerns, by the label it starts with
// (Larkspan.h): the file the user named, or the URL.
enum Concern { kAboutUrl, kAboutFile };
Concern FailureConcerns(const std::string &line);

// The exit code for a call of the library: its result, the first failure
// line it wrote (whose label names the step that failed) and the error
// GetLastError gave right after the call (that line's code).
int ExitCodeForDownload(int result, const std::string &firstFailure, unsigned long error);

#endif
