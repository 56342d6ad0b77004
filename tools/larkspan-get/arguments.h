// larkspan-get's command line: what to fetch, where its body goes, and how
// much to say.
#ifndef LARKSPAN_GET_ARGUMENTS_H
#define LARKSPAN_GET_ARGUMENTS_H

#include <string>

struct Options {
    const char *url;
    std::string output;  // a path, or "-" for standard output
    bool quiet;
    bool debug;
    bool keepPartial;
};

enum ParseOutcome {
    kParsedRun,    // options filled in: download
    kParsedDone,   // --help or --version answered: exit 0
    kParsedUsage,  // wrong arguments, already explained on stderr
};

ParseOutcome ParseArguments(int argc, char **argv, Options *options);

// The name a URL ends with, as curl -O and wget take it: the last part of
// its path, without query or fragment. Empty when there is none, or when it
// would not name a file in the current folder ("..", a backslash, ...).
std::string NameFromUrl(const char *url);

#endif
