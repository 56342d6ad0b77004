/*
 * Larkspan: downloads the resource at a URL over HTTP into a local file.
 *
 * The call is synchronous. Before every read of the body (blocks of up to
 * 32000 bytes, and one more read that finds the end) the window
 * `notifyWindow`, when not null, is sent LARKSPAN_PROGRESS_MESSAGE with both
 * parameters 0, and the function waits until it has been handled. A running
 * account and every failure go to the debugger output (OutputDebugStringA).
 *
 * Returns LARKSPAN_OK, LARKSPAN_FAILED or LARKSPAN_HTML. GetLastError() then
 * says why a download failed: the code on the first failure line of the
 * debugger output (a system or WinINet error), or for a final HTTP status
 * outside 200-299 LARKSPAN_ERROR_HTTP_STATUS with the status in the low
 * bits. After LARKSPAN_OK and LARKSPAN_HTML it is 0.
 */
#ifndef LARKSPAN_H
#define LARKSPAN_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The progress message: WM_USER + 5, wParam 0, lParam 0. */
#define LARKSPAN_PROGRESS_MESSAGE 0x0405

/* The running account on the debugger output, one line before every read:
   this prefix, then the kilobytes (1000 bytes) received so far, then
   " KBytes". Callers that follow the download read the figure after it. */
#define LARKSPAN_PROGRESS_PREFIX "Downloading file.\nDownloaded "

/* The whole body was stored and no block began like an HTML document. */
#define LARKSPAN_OK 0
/* The download failed; the debugger output says which step and why. */
#define LARKSPAN_FAILED 1
/* The whole body was stored, but a block began with "<!DOCTYPE", "<HTM" or
   "<htm": most likely a server's page rather than the file asked for. */
#define LARKSPAN_HTML 100

/* The failure lines on the debugger output, "LABEL: CODE": the label names
   the step that failed, the code is the system's or WinINet's error in
   lower-case hexadecimal, the one GetLastError() gives after the call for
   its first failure line. Two labels are followed by words of their own
   instead: the status (in decimal) and the body's length. The labels are
   stable: callers may tell the step by them. */
#define LARKSPAN_LABEL_PARAMETER "Parameter Error"          /* a null URL or path */
#define LARKSPAN_LABEL_OPEN "InternetOpen Error"            /* the internet session */
#define LARKSPAN_LABEL_OPEN_URL "InternetOpenUrl Error"     /* the URL, a redirect, the connection, the request */
#define LARKSPAN_LABEL_QUERY "HttpQueryInfo Error"          /* the response's head */
#define LARKSPAN_LABEL_STATUS "HTTP Status Error"           /* ": 404": a final status outside 200-299 */
#define LARKSPAN_LABEL_CODING "Transfer-Encoding Error"     /* a transfer coding other than chunked alone */
#define LARKSPAN_LABEL_LENGTH "Content-Length Error"        /* a length that can't be believed, or a body past it */
#define LARKSPAN_LABEL_FILE "fopen Error"                   /* the file could not be created */
#define LARKSPAN_LABEL_READ "InternetReadFile Error"        /* a read of the body */
#define LARKSPAN_LABEL_WRITE "fwrite Error"                 /* a write to the file */
#define LARKSPAN_LABEL_FLUSH "fflush Error"                 /* the file's last writes */
#define LARKSPAN_LABEL_CLOSE_FILE "fclose Error"            /* closing the file */
#define LARKSPAN_LABEL_INCOMPLETE "Incomplete Body Error"   /* ": RECEIVED of ANNOUNCED bytes" */
#define LARKSPAN_LABEL_MEMORY "malloc Error"                /* no memory for a buffer */
#define LARKSPAN_LABEL_CLOSE "CloseHandle Error"            /* a handle that would not close; fails nothing */

/* GetLastError() after a final status outside 200-299: this bit (29, which
   Windows leaves to applications' own codes) with the status in the low 16
   bits, as LARKSPAN_ERROR_HTTP_STATUS | 404. */
#define LARKSPAN_ERROR_HTTP_STATUS 0x20000000

#if defined(_WIN32)
#define LARKSPAN_API
#else
#define LARKSPAN_API __attribute__((visibility("default")))
#endif

/*
 * url:          the address, "http://" or "https://".
 * localPath:    the file to create or overwrite (relative to the current
 *               directory). It is created only once the server has answered
 *               with a success status.
 * notifyWindow: the window that receives the progress message, or null.
 * spareWindow:  not used.
 *
 * The URL and the path are only read, never written through: const, so that
 * C++ passes string literals and std::string::c_str() as they are. The
 * export is the same as with plain char *: a pointer either way, with C
 * linkage, so the symbol (_Larkspan@16 on 32-bit Windows) does not change.
 */
LARKSPAN_API int WINAPI Larkspan(const char *url, const char *localPath, HWND notifyWindow, HWND spareWindow);

/* The export's type, for callers that load the library at run time. */
typedef int(WINAPI *LarkspanFunction)(const char *url, const char *localPath, HWND notifyWindow, HWND spareWindow);

#ifdef __cplusplus
}
#endif

#endif
