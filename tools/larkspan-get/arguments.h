// larkspan-get's command line: what to fetch, where each body goes, how
// often to try, how long a run may take, and how much to say. It takes the
// flags that scripts written for curl and wget pass where they mean what
// larkspan-get does anyway, and refuses, naming what it does instead, those
// that would mean something it does not do.
#ifndef LARKSPAN_GET_ARGUMENTS_H
#define LARKSPAN_GET_ARGUMENTS_H

#include <string>
#include <vector>

// One URL and where its body goes.
struct Transfer {
    const char *url;
    std::string output;  // a path, or "-" for standard output
};

struct Options {
    std::vector<Transfer> transfers;  // in the order given; at least one
    bool quiet;
    bool debug;
    bool keepPartial;
    bool acceptHtml;       // a body that looks like HTML is stored with 0, not 120
    unsigned retries;      // times a transient failure is tried again
    double retryDelay;     // seconds before the first retry; each later one waits twice as long
    double maxTime;        // seconds the whole run may take; 0: no bound
    double connectTimeout; // seconds an attempt may wait for the server's answer; 0: no bound
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
