// Where the body goes. A file is written under a new name beside it
// (FILE.part) and takes FILE's name only when the library has stored it
// whole, with MoveFileExA and MOVEFILE_REPLACE_EXISTING: the name holds the
// old file or the new one, whole, and a failed download leaves the old one
// as it was. A FIFO, a device (/dev/null, NUL) and standard output are
// streams: they are written as the body comes, so a failure can't take back
// what already went out, and a failure says so.
#ifndef LARKSPAN_GET_OUTPUT_H
#define LARKSPAN_GET_OUTPUT_H

#include <string>

struct StdoutBridge;

struct Output {
    std::string target;       // as the user named it; "-" for standard output
    std::string libraryPath;  // what the library opens: the .part file, the stream, or the bridge to stdout
    bool stream;              // written as it comes: no .part file
    StdoutBridge *bridge;     // for standard output
};

// Prepares the output: creates the .part file (a new file, never one that
// is there), or opens the bridge to standard output. On failure says why,
// naming the path, and returns an exit code; 0 when ready.
int OutputOpen(Output *output, const char *target);

// Finishes after the library's call. `stored`: the library stored the body
// whole. Puts the .part file in place, or removes it (keeps it with
// `keepPartial`); for standard output, waits until all of it went out.
// Returns 0, or an exit code after saying why (naming the paths). After a
// failure it says what a stream already took.
int OutputFinish(Output *output, bool stored, bool keepPartial);

#endif
