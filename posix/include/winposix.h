/*
 * What the POSIX layer offers beyond Win32: a way to watch the debugger
 * output, a descriptor for serving a thread's message queue from another
 * event loop, the internet time-outs, and for tests the count of open
 * internet handles.
 */
#ifndef WINPOSIX_WINPOSIX_H
#define WINPOSIX_WINPOSIX_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Debugger output. OutputDebugStringA shows nothing unless someone watches:
 * an observer in the process (called on the writing thread, text without a
 * trailing line break added), or the environment variable
 * WINPOSIX_DEBUG_OUTPUT naming a file (or a FIFO, or /dev/stderr) that every
 * string is appended to, one per line.
 */
typedef void (*WinPosixDebugObserver)(void *context, const char *text);
WINPOSIX_API void WinPosix_SetDebugObserver(WinPosixDebugObserver observer, void *context);

/*
 * Message queue descriptor, for a thread whose event loop is not a Win32 one
 * (poll, epoll, GLib, Qt): it is readable exactly while messages wait in the
 * calling thread's queue, sent from other threads or posted. When it is,
 * call PeekMessage (with PM_REMOVE, dispatching what it returns) until it
 * returns FALSE: that answers the sent messages too. The descriptor belongs
 * to the thread's queue; do not read it or close it. Returns -1 if no
 * descriptor could be made.
 */
WINPOSIX_API int WinPosix_MessageQueueFd(void);

/*
 * Internet time-outs in milliseconds, for the whole process: connecting, and
 * waiting for the next byte of a response. They default to WinINet's 60 s
 * and 30 s. 0 keeps a value.
 */
WINPOSIX_API void WinPosix_SetInternetTimeouts(DWORD connectMs, DWORD receiveMs);

/* How many internet handles (sessions and requests) are open in the process. */
WINPOSIX_API DWORD WinPosix_OpenInternetHandles(void);

#ifdef __cplusplus
}
#endif

#endif
