// Where the body goes. A file is written under a new name beside it
// (FILE.part) and takes FILE's name only when the library has stored it
// whole: the name holds the old file or the new one, whole, and a failed
// download leaves the old one as it was. The .part file is made here, held
// open from its making to its end, and the library writes into that open
// file, never into whatever its name holds later: natively through its
// /proc/self/fd name, in the Windows builds through a bridge (bridge.h). It
// is renamed, or removed, only while its name still holds it; in a folder
// that others may write to, another user may have put a link or a file of
// theirs in its place. A FIFO, a device (/dev/null, NUL) and standard output
// are streams: they are written as the body comes, so a failure can't take
// back what already went out, and a failure says so.
#ifndef LARKSPAN_GET_OUTPUT_H
#define LARKSPAN_GET_OUTPUT_H

#include <windows.h>

#include <string>

#ifndef _WIN32
#include <sys/types.h>
#endif

struct Bridge;

struct Output {
    std::string target;       // as the user named it; "-" for standard output
    std::string part;         // the .part file's name; empty for a stream
    std::string libraryPath;  // what the library opens: the stream, or the way into the .part file or stdout
    bool stream;              // written as it comes: no .part file
    Bridge *bridge;           // for standard output, and for the .part file in the Windows builds
    unsigned long bridgeFailure;  // what the bridge's copying failed with, once drained; 0 when it did not
#ifdef _WIN32
    HANDLE file;  // the .part file; INVALID_HANDLE_VALUE when there is none
#else
    int file;  // the .part file; -1 when there is none
    dev_t device;
    ino_t inode;
#endif
};

// Prepares the output: creates the .part file (a new file, never one that
// is there), or opens the bridge to standard output. On failure says why,
// naming the path, and returns an exit code; 0 when ready.
int OutputOpen(Output *output, const char *target);

// After the library's call: lets what it wrote reach the output (the
// bridge's copying) and waits for it. False when not all of it got there:
// the library's own lines about its writes then name the bridge's pipe, not
// the cause, which OutputFinish tells.
bool OutputDrain(Output *output);

// Finishes after OutputDrain. `stored`: the library stored the body whole.
// Puts the .part file in place, or removes it (keeps it with `keepPartial`),
// each only while its name still holds it. Returns 0, or an exit code after
// saying why (naming the paths). After a failure it says what a stream
// already took.
int OutputFinish(Output *output, bool stored, bool keepPartial);

// For an interrupt (Ctrl-C): removes the .part file if its name still holds
// it, and nothing else. Natively only calls that are safe in a signal
// handler; the process ends right after.
void OutputRemoveAtInterrupt(const Output *output);

#endif
