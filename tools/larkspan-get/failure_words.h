// What the library's failure lines mean, in words, for people who did not
// write them.
#ifndef LARKSPAN_GET_FAILURE_WORDS_H
#define LARKSPAN_GET_FAILURE_WORDS_H

#include <string>

// "InternetOpenUrl Error: 2efd" becomes
// "InternetOpenUrl Error: 2efd (12029: could not connect to the server)";
// a line with no code to explain comes back as it is. `url` is the one
// asked for: a refusal may be a proxy's, and its scheme and host say which
// proxy variable, if any, this build took for it.
std::string ExplainFailureLine(const std::string &line, const char *url);

// Words for a WinINet or system error number; null for one it doesn't know.
const char *ErrorWords(unsigned long code);

#endif
