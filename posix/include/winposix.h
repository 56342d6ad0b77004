/*
 * What the POSIX layer offers beyond Win32: a way to watch the debugger
 * output, a descriptor for serving a thread's message queue from another
 * event loop, the internet time-outs, and fault injection for tests.
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

/*
 * Fault injection. A rule makes chosen calls of one layer function fail with
 * a Win32 error code, which GetLastError then returns:
 *
 *     function[(name)]@first[-[last]]=error
 *
 * counts the calls of `function` (only those whose file or URL argument ends
 * with `name`, when given; for MoveFileExA and CreateHardLinkA, either
 * file's) and fails call numbers first..last (1-based; "N-" means from N
 * on). Rules are separated
 * by commas. WinPosix_SetFaults replaces every rule and restarts the counts
 * (null or "" clears them); it returns FALSE for malformed rules. No rule is
 * ever read from the environment.
 *
 * Functions: fopen, fwrite, fflush, fclose, remove, rename, malloc,
 * InternetOpenA, InternetOpenUrlA, HttpQueryInfoA, InternetQueryOptionA,
 * InternetReadFile, InternetCloseHandle, FindWindowW, ShellExecuteW,
 * GetFileAttributesA, MoveFileExA, CreateHardLinkA; "*"
 * counts the calls of all of them together ("*@5-=31": everything from the
 * fifth call on fails, as if the process had been stopped there).
 */
WINPOSIX_API BOOL WinPosix_SetFaults(const char *rules);

/* How many internet handles (sessions and requests) are open in the process. */
WINPOSIX_API DWORD WinPosix_OpenInternetHandles(void);

/* How many calls of `function` the layer has seen since the rules were last set. */
WINPOSIX_API DWORD WinPosix_CallCount(const char *function);

#ifdef __cplusplus
}
#endif

#endif
