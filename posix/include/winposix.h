/*
 * What the POSIX layer offers beyond Win32: a way to watch the debugger
 * output, a descriptor for serving a thread's message queue from another
 * event loop, the internet time-outs, and for tests the count of open
 * internet handles and the table of the calls the layer makes beneath it.
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

/*
 * The calls the layer makes into the C library, libcurl and Xlib whose
 * failure it handles go through one table, one entry each, named as the
 * function: "open", "fopen", "fdopen", "fwrite", "fflush", "fclose",
 * "unlink", "rename", "renameat2", "link", "access", "stat", "lstat",
 * "fstat", "fcntl", "chmod", "eventfd", "read", "write", "posix_spawn",
 * "curl_easy_init", "curl_multi_init", "curl_multi_add_handle",
 * "curl_multi_perform", "curl_multi_poll", "curl_slist_append" and
 * "XOpenDisplay" (libX11's, loaded on first use). For tests: a function of
 * the same type put in an entry's place is called instead, so that the
 * layer's own failure paths can be taken. A replacement fails as the
 * function it replaces would (errno set, or the code or NULL returned), or
 * calls the function that was in the entry. Change entries only while no
 * other thread is inside the layer.
 *
 * WinPosix_SetSystemCall puts `function` in the entry `name`, or the
 * standard function back for NULL; a NULL name puts every standard function
 * back. FALSE for a name the table does not have. WinPosix_GetSystemCall
 * gives the function in the entry, NULL for an unknown name.
 * WinPosix_NextSystemCall(NULL) gives the first entry's name, and each name
 * the next one's; NULL after the last.
 */
typedef void (*WinPosixSystemCall)(void);
WINPOSIX_API BOOL WinPosix_SetSystemCall(const char *name, WinPosixSystemCall function);
WINPOSIX_API WinPosixSystemCall WinPosix_GetSystemCall(const char *name);
WINPOSIX_API const char *WinPosix_NextSystemCall(const char *name);

#ifdef __cplusplus
}
#endif

#endif
