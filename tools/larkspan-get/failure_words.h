// What the library's failure lines mean, in words, for people who did not
// write them.
#ifndef LARKSPAN_GET_FAILURE_WORDS_H
#define LARKSPAN_GET_FAILURE_WORDS_H

#include <string>

// "InternetOpenUrl Error: 2efd" becomes
// "InternetOpenUrl Error: 2efd (12029: could not connect to the server)";
// a line with no code to explain comes back as it is.
std::string ExplainFailureLine(const std::string &line);

#endif
