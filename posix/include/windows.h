/*
 * The part of the Win32 API that this project's programs use, for POSIX
 * systems. The functions live in libwinposix (posix/src), one file per DLL
 * they come from on Windows. Types keep their Windows sizes where callers can
 * see them (DWORD is 32 bits, handles are pointers).
 */
#ifndef WINPOSIX_WINDOWS_H
#define WINPOSIX_WINDOWS_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

#define WINAPI
#define CALLBACK
#define APIENTRY
#define WINAPIV
#define WINPOSIX_API __attribute__((visibility("default")))
/* Every function the layer defines is linked as WinPosix_NAME: a program
   calls SendMessageA in its source, and the symbol it binds is
   WinPosix_SendMessageA. So the layer puts no Windows name into a process's
   namespace, where a program's own Sleep or another library's GetLastError
   would meet ours. */
#define WINPOSIX_SYMBOL(name) __asm__("WinPosix_" #name)

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef DWORD *LPDWORD;
typedef unsigned int UINT;
typedef int INT;
typedef int32_t LONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef uint16_t ATOM;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef char CHAR;
typedef wchar_t WCHAR;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef wchar_t *LPWSTR;
typedef const wchar_t *LPCWSTR;

typedef void *HANDLE;
typedef struct HWND__ *HWND;
typedef struct HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HICON__ *HICON;
typedef HICON HCURSOR;
typedef struct HBRUSH__ *HBRUSH;
typedef struct HMENU__ *HMENU;

#define TRUE 1
#define FALSE 0
#define LOWORD(value) ((WORD)((uintptr_t)(value)&0xffff))
#define HIWORD(value) ((WORD)(((uintptr_t)(value) >> 16) & 0xffff))
#define MAX_PATH 260

/* Error codes, as winerror.h numbers them. */
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_TOO_MANY_OPEN_FILES 4
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_NOT_SAME_DEVICE 17
#define ERROR_WRITE_PROTECT 19
#define ERROR_WRITE_FAULT 29
#define ERROR_READ_FAULT 30
#define ERROR_GEN_FAILURE 31
#define ERROR_SHARING_VIOLATION 32
#define ERROR_LOCK_VIOLATION 33
#define ERROR_HANDLE_DISK_FULL 39
#define ERROR_NOT_SUPPORTED 50
#define ERROR_FILE_EXISTS 80
#define ERROR_INVALID_PARAMETER 87
#define ERROR_BROKEN_PIPE 109
#define ERROR_DISK_FULL 112
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_INVALID_NAME 123
#define ERROR_DIR_NOT_EMPTY 145
#define ERROR_BUSY 170
#define ERROR_ALREADY_EXISTS 183
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_PIPE_NOT_CONNECTED 233
#define ERROR_CLASS_ALREADY_EXISTS 1410
#define ERROR_CLASS_DOES_NOT_EXIST 1411
#define ERROR_CLASS_HAS_WINDOWS 1412
#define ERROR_INVALID_WINDOW_HANDLE 1400
#define ERROR_CANNOT_FIND_WND_CLASS 1407
#define ERROR_WINDOW_OF_OTHER_THREAD 1408
#define ERROR_INVALID_THREAD_ID 1444

/* kernel32 */
WINPOSIX_API DWORD WINAPI GetLastError(void) WINPOSIX_SYMBOL(GetLastError);
WINPOSIX_API void WINAPI SetLastError(DWORD code) WINPOSIX_SYMBOL(SetLastError);
WINPOSIX_API void WINAPI Sleep(DWORD milliseconds) WINPOSIX_SYMBOL(Sleep);
WINPOSIX_API DWORD WINAPI GetCurrentThreadId(void) WINPOSIX_SYMBOL(GetCurrentThreadId);
WINPOSIX_API DWORD WINAPI GetTickCount(void) WINPOSIX_SYMBOL(GetTickCount);
WINPOSIX_API ULONGLONG WINAPI GetTickCount64(void) WINPOSIX_SYMBOL(GetTickCount64);
WINPOSIX_API void WINAPI OutputDebugStringA(LPCSTR text) WINPOSIX_SYMBOL(OutputDebugStringA);
WINPOSIX_API HMODULE WINAPI GetModuleHandleW(LPCWSTR name) WINPOSIX_SYMBOL(GetModuleHandleW);
WINPOSIX_API HMODULE WINAPI GetModuleHandleA(LPCSTR name) WINPOSIX_SYMBOL(GetModuleHandleA);

#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_ATTRIBUTE_READONLY 0x01
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_DEVICE 0x40
#define FILE_ATTRIBUTE_NORMAL 0x80
#define FILE_ATTRIBUTE_REPARSE_POINT 0x400
WINPOSIX_API DWORD WINAPI GetFileAttributesA(LPCSTR path) WINPOSIX_SYMBOL(GetFileAttributesA);

#define MOVEFILE_REPLACE_EXISTING 0x1
#define MOVEFILE_COPY_ALLOWED 0x2
#define MOVEFILE_WRITE_THROUGH 0x8
WINPOSIX_API BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) WINPOSIX_SYMBOL(MoveFileExA);
typedef struct _SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES; /* only null is taken */
WINPOSIX_API BOOL WINAPI CreateHardLinkA(LPCSTR name, LPCSTR existing, LPSECURITY_ATTRIBUTES attributes)
    WINPOSIX_SYMBOL(CreateHardLinkA);

/* user32: windows of this process and their threads' message queues, and
   top-level windows on the X display */
typedef LRESULT(CALLBACK *WNDPROC)(HWND, UINT, WPARAM, LPARAM);

typedef struct tagWNDCLASSA {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
} WNDCLASSA;

typedef struct tagWNDCLASSW {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCWSTR lpszMenuName;
    LPCWSTR lpszClassName;
} WNDCLASSW;

#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_USER 0x0400
#define WM_APP 0x8000

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *LPMSG;

/* What WM_CREATE's lParam points to. */
typedef struct tagCREATESTRUCTA {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCSTR lpszName;
    LPCSTR lpszClass;
    DWORD dwExStyle;
} CREATESTRUCTA;

typedef struct tagCREATESTRUCTW {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCWSTR lpszName;
    LPCWSTR lpszClass;
    DWORD dwExStyle;
} CREATESTRUCTW;

#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define PM_NOYIELD 0x0002

/* GetQueueStatus: what waits in the calling thread's queue. */
#define QS_POSTMESSAGE 0x0008
#define QS_SENDMESSAGE 0x0040
#define QS_ALLPOSTMESSAGE 0x0100

#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_OVERLAPPEDWINDOW 0x00CF0000L
#define CW_USEDEFAULT ((int)0x80000000)
#define HWND_MESSAGE ((HWND)(intptr_t)-3)

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5

WINPOSIX_API ATOM WINAPI RegisterClassA(const WNDCLASSA *wc) WINPOSIX_SYMBOL(RegisterClassA);
WINPOSIX_API ATOM WINAPI RegisterClassW(const WNDCLASSW *wc) WINPOSIX_SYMBOL(RegisterClassW);
WINPOSIX_API BOOL WINAPI UnregisterClassA(LPCSTR className, HINSTANCE instance) WINPOSIX_SYMBOL(UnregisterClassA);
WINPOSIX_API BOOL WINAPI UnregisterClassW(LPCWSTR className, HINSTANCE instance) WINPOSIX_SYMBOL(UnregisterClassW);
WINPOSIX_API HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                                         int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                                         LPVOID param) WINPOSIX_SYMBOL(CreateWindowExA);
WINPOSIX_API HWND WINAPI CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x,
                                         int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                                         LPVOID param) WINPOSIX_SYMBOL(CreateWindowExW);
WINPOSIX_API BOOL WINAPI DestroyWindow(HWND window) WINPOSIX_SYMBOL(DestroyWindow);
WINPOSIX_API BOOL WINAPI IsWindow(HWND window) WINPOSIX_SYMBOL(IsWindow);
WINPOSIX_API LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) WINPOSIX_SYMBOL(DefWindowProcA);
WINPOSIX_API LRESULT WINAPI DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) WINPOSIX_SYMBOL(DefWindowProcW);
WINPOSIX_API LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) WINPOSIX_SYMBOL(SendMessageA);
WINPOSIX_API LRESULT WINAPI SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) WINPOSIX_SYMBOL(SendMessageW);
WINPOSIX_API BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) WINPOSIX_SYMBOL(PostMessageA);
WINPOSIX_API BOOL WINAPI PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) WINPOSIX_SYMBOL(PostMessageW);
WINPOSIX_API BOOL WINAPI PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) WINPOSIX_SYMBOL(PostThreadMessageA);
WINPOSIX_API BOOL WINAPI PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) WINPOSIX_SYMBOL(PostThreadMessageW);
WINPOSIX_API void WINAPI PostQuitMessage(int exitCode) WINPOSIX_SYMBOL(PostQuitMessage);
WINPOSIX_API BOOL WINAPI GetMessageA(LPMSG message, HWND window, UINT filterMin, UINT filterMax) WINPOSIX_SYMBOL(GetMessageA);
WINPOSIX_API BOOL WINAPI GetMessageW(LPMSG message, HWND window, UINT filterMin, UINT filterMax) WINPOSIX_SYMBOL(GetMessageW);
WINPOSIX_API BOOL WINAPI PeekMessageA(LPMSG message, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags) WINPOSIX_SYMBOL(PeekMessageA);
WINPOSIX_API BOOL WINAPI PeekMessageW(LPMSG message, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags) WINPOSIX_SYMBOL(PeekMessageW);
WINPOSIX_API BOOL WINAPI TranslateMessage(const MSG *message) WINPOSIX_SYMBOL(TranslateMessage);
WINPOSIX_API LRESULT WINAPI DispatchMessageA(const MSG *message) WINPOSIX_SYMBOL(DispatchMessageA);
WINPOSIX_API LRESULT WINAPI DispatchMessageW(const MSG *message) WINPOSIX_SYMBOL(DispatchMessageW);
WINPOSIX_API DWORD WINAPI GetQueueStatus(UINT flags) WINPOSIX_SYMBOL(GetQueueStatus);
WINPOSIX_API HWND WINAPI FindWindowA(LPCSTR className, LPCSTR windowName) WINPOSIX_SYMBOL(FindWindowA);
WINPOSIX_API HWND WINAPI FindWindowW(LPCWSTR className, LPCWSTR windowName) WINPOSIX_SYMBOL(FindWindowW);
WINPOSIX_API int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...) WINPOSIX_SYMBOL(wsprintfA) __attribute__((format(printf, 2, 3)));

#ifdef __cplusplus
}
#endif

#endif
