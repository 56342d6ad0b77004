// A path the library can open whose bytes land in a handle of this process's.
// The library writes into a file it opens by name, and a name can be the
// wrong thing to hand it: standard output has none in Windows, natively
// /dev/stdout opened anew would truncate a file that `>>` appends to, and in
// the Windows builds a .part file's name may be taken by another file (a
// Unix user's link, under Wine) between its making and the library's open.
// So the library gets a pipe of this process's (natively a pipe's
// /proc/self/fd name, on Windows a named pipe), and a thread copies what
// arrives into the handle.
#ifndef LARKSPAN_GET_BRIDGE_H
#define LARKSPAN_GET_BRIDGE_H

#include <windows.h>

#include <string>

struct Bridge;

#ifdef _WIN32
typedef HANDLE BridgeSink;  // opened for synchronous writing
#else
typedef int BridgeSink;     // a descriptor
#endif

// Opens the pipe and starts copying into `sink`, which stays the caller's;
// sets `path` to the name the library opens. Null with the system's error
// code in `error` when it can't.
Bridge *BridgeOpen(BridgeSink sink, std::string *path, unsigned long *error);

// After the library's call: lets the copying finish, waits for it and
// releases the pipe. 0 when everything went into the sink, else the error
// its write failed with (natively ERROR_WRITE_FAULT); the copying then
// stopped at once, and the library's next write failed, which ended its
// download.
unsigned long BridgeClose(Bridge *bridge);

#endif
