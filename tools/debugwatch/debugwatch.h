// Watching this process's debugger output (OutputDebugStringA) from inside it.
#ifndef DEBUGWATCH_H
#define DEBUGWATCH_H

// Called on the thread that wrote the string, once per string, with the text
// as written (no line break added).
typedef void (*DebugLineHandler)(void *context, const char *text);

// Starts passing every debugger string of the process to `handler`; a second
// call replaces the handler. On Windows this is a vectored exception handler
// for the exception OutputDebugStringA raises; a debugger attached to the
// process still sees the strings first.
void DebugWatchStart(DebugLineHandler handler, void *context);
void DebugWatchStop(void);

#endif
