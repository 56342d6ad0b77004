// Standard output as a path the library can open. The library writes into a
// file it opens by name; standard output has no name in Windows, and
// natively /dev/stdout opened anew would truncate a file that `>>` appends
// to. So the library gets a pipe of this process's (natively a pipe's
// /proc/self/fd name, on Windows a named pipe), and a thread copies what
// arrives to the standard output handle.
#ifndef LARKSPAN_GET_STDOUT_BRIDGE_H
#define LARKSPAN_GET_STDOUT_BRIDGE_H

#include <string>

struct StdoutBridge;

// Opens the pipe and starts the copying; sets `path` to the name the library
// opens. Null with the system's error code in `error` when it can't.
StdoutBridge *StdoutBridgeOpen(std::string *path, unsigned long *error);

// After the library's call: lets the copying finish, waits for it and
// releases everything. False when standard output could not take it all
// (its reader went away); the copying then stopped at once, and the
// library's next write failed, which ended its download.
bool StdoutBridgeClose(StdoutBridge *bridge);

#endif
