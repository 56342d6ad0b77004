// What the library's failures mean, in words, for people who did not write
// them: one table of error numbers, and the status codes'.
#ifndef LARKSPAN_GET_FAILURE_WORDS_H
#define LARKSPAN_GET_FAILURE_WORDS_H

#include <string>

// The library's first failure line with words for `code`, the error
// GetLastError gave after the call: "InternetOpenUrl Error: 2efd" and 12029
// become "InternetOpenUrl Error: 2efd (12029: could not connect to the
// server)"; a status (LARKSPAN_ERROR_HTTP_STATUS | 404) says who answered
// it. A line with words of its own comes back as it is. `url` is the one
// asked for: a refusal may be a proxy's, and its scheme and host say which
// proxy variable, if any, this build took for it.
std::string ExplainFailure(const std::string &line, unsigned long code, const char *url);

// Words for a WinINet or system error number; null for one it doesn't know.
const char *ErrorWords(unsigned long code);

#endif
