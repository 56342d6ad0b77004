// user32: window classes and windows of this process, messages sent to them,
// and top-level windows looked up on the user's X display.
//
// A window lives in the process's window table. When an X display can be
// opened, CreateWindowEx also creates an unmapped X window whose WM_CLASS is
// the window's class, so that FindWindow in another process sees it, as
// FindWindow on Windows sees every top-level window of the desktop.
#include <windows.h>

#include "faults.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <dlfcn.h>

#include <cstdarg>
#include <cstring>
#include <cwctype>
#include <map>
#include <mutex>
#include <string>

namespace {

struct WindowClass {
    WNDPROC procedure;
};

struct Window {
    std::wstring className;
    WNDPROC procedure;
    ::Window xWindow;
};

std::mutex windowLock;
std::map<std::wstring, WindowClass> windowClasses;  // keys folded to upper case
std::map<HWND, Window> windows;
uintptr_t nextWindow = 0x10010;

// libX11's functions, loaded with the first display: a process that never
// makes or looks for a window (as most callers of the download library) does
// not pay for loading the X libraries when it starts.
struct XFunctions {
    decltype(&::XOpenDisplay) OpenDisplay;
    decltype(&::XCreateSimpleWindow) CreateSimpleWindow;
    decltype(&::XDestroyWindow) DestroyWindow;
    decltype(&::XSetClassHint) SetClassHint;
    decltype(&::XGetClassHint) GetClassHint;
    decltype(&::XStoreName) StoreName;
    decltype(&::XQueryTree) QueryTree;
    decltype(&::XSetErrorHandler) SetErrorHandler;
    decltype(&::XFlush) Flush;
    decltype(&::XSync) Sync;
    decltype(&::XFree) Free;
};
XFunctions x;

template <typename Function> bool Resolve(void *library, const char *name, Function *function)
{
    *function = (Function)dlsym(library, name);
    return *function != nullptr;
}

// Loads libX11 for the rest of the process; false when it is not there.
bool LoadXLocked()
{
    void *library = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (!library) return false;
    if (Resolve(library, "XOpenDisplay", &x.OpenDisplay) &&
        Resolve(library, "XCreateSimpleWindow", &x.CreateSimpleWindow) &&
        Resolve(library, "XDestroyWindow", &x.DestroyWindow) && Resolve(library, "XSetClassHint", &x.SetClassHint) &&
        Resolve(library, "XGetClassHint", &x.GetClassHint) && Resolve(library, "XStoreName", &x.StoreName) &&
        Resolve(library, "XQueryTree", &x.QueryTree) && Resolve(library, "XSetErrorHandler", &x.SetErrorHandler) &&
        Resolve(library, "XFlush", &x.Flush) && Resolve(library, "XSync", &x.Sync) && Resolve(library, "XFree", &x.Free))
        return true;
    dlclose(library);
    return false;
}

// One connection per process, opened on first need; none when there is no display.
Display *xDisplay;
bool xTried;

Display *XDisplayLocked()
{
    if (!xTried) {
        xTried = true;
        const char *name = getenv("DISPLAY");
        if (name && *name && LoadXLocked()) xDisplay = x.OpenDisplay(nullptr);
    }
    return xDisplay;
}

std::wstring Fold(const std::wstring &text)
{
    std::wstring folded = text;
    for (wchar_t &c : folded) c = (wchar_t)towupper((wint_t)c);
    return folded;
}

std::wstring Widen(const char *text)
{
    std::wstring wide;
    if (!text) return wide;
    size_t length = mbstowcs(nullptr, text, 0);
    if (length == (size_t)-1) {
        for (const char *c = text; *c; c++) wide += (wchar_t)(unsigned char)*c;
        return wide;
    }
    wide.resize(length);
    mbstowcs(&wide[0], text, length);
    return wide;
}

std::string Narrow(const std::wstring &text)
{
    size_t length = wcstombs(nullptr, text.c_str(), 0);
    if (length == (size_t)-1) return std::string();
    std::string narrow(length, '\0');
    wcstombs(&narrow[0], text.c_str(), length);
    return narrow;
}

ATOM RegisterClassCommon(const std::wstring &name, WNDPROC procedure)
{
    if (name.empty() || !procedure) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard<std::mutex> hold(windowLock);
    if (!windowClasses.emplace(Fold(name), WindowClass{procedure}).second) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    return (ATOM)(0xC000 + windowClasses.size());
}

BOOL UnregisterClassCommon(const std::wstring &name)
{
    std::lock_guard<std::mutex> hold(windowLock);
    if (windowClasses.erase(Fold(name)) == 0) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    return TRUE;
}

::Window CreateXWindowLocked(const std::wstring &className, const std::wstring &title)
{
    Display *display = XDisplayLocked();
    if (!display) return 0;
    ::Window xWindow = x.CreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
    if (!xWindow) return 0;
    std::string narrowClass = Narrow(className);
    XClassHint hint;
    hint.res_name = const_cast<char *>(narrowClass.c_str());
    hint.res_class = const_cast<char *>(narrowClass.c_str());
    x.SetClassHint(display, xWindow, &hint);
    std::string narrowTitle = Narrow(title);
    x.StoreName(display, xWindow, narrowTitle.c_str());
    x.Flush(display);
    return xWindow;
}

HWND CreateWindowCommon(const std::wstring &className, const std::wstring &title, LPVOID param)
{
    WNDPROC procedure;
    HWND window;
    {
        std::lock_guard<std::mutex> hold(windowLock);
        auto found = windowClasses.find(Fold(className));
        if (found == windowClasses.end()) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        procedure = found->second.procedure;
        window = (HWND)nextWindow;
        nextWindow += 4;
        windows[window] = Window{className, procedure, CreateXWindowLocked(className, title)};
    }
    // As on Windows, the procedure sees WM_CREATE before the caller gets the
    // handle, and -1 from it destroys the window.
    if (procedure(window, WM_CREATE, 0, (LPARAM)param) == -1) {
        DestroyWindow(window);
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return window;
}

bool ClassMatches(Display *display, ::Window xWindow, const std::string &wanted)
{
    XClassHint hint = {nullptr, nullptr};
    if (!x.GetClassHint(display, xWindow, &hint)) return false;
    bool match = hint.res_class && strcasecmp(hint.res_class, wanted.c_str()) == 0;
    if (hint.res_name) x.Free(hint.res_name);
    if (hint.res_class) x.Free(hint.res_class);
    return match;
}

// Top-level windows are the root's children; a window manager that reparents
// puts the client one level further down, so that level is searched as well.
::Window FindXWindowLocked(const std::string &wanted)
{
    Display *display = XDisplayLocked();
    if (!display) return 0;
    ::Window root = DefaultRootWindow(display), parent, *children = nullptr;
    unsigned int count = 0;
    if (!x.QueryTree(display, root, &root, &parent, &children, &count)) return 0;
    ::Window found = 0;
    for (unsigned int i = 0; i < count && !found; i++) {
        if (ClassMatches(display, children[i], wanted)) {
            found = children[i];
            break;
        }
        ::Window *grandchildren = nullptr;
        unsigned int grandcount = 0;
        ::Window unusedRoot, unusedParent;
        if (x.QueryTree(display, children[i], &unusedRoot, &unusedParent, &grandchildren, &grandcount)) {
            for (unsigned int j = 0; j < grandcount && !found; j++)
                if (ClassMatches(display, grandchildren[j], wanted)) found = grandchildren[j];
            if (grandchildren) x.Free(grandchildren);
        }
    }
    if (children) x.Free(children);
    return found;
}

// X errors (a window destroyed between listing and asking) are expected while
// walking another process's windows; they must not end this process.
int IgnoreXError(Display *, XErrorEvent *)
{
    return 0;
}

}  // namespace

ATOM WINAPI RegisterClassA(const WNDCLASSA *wc)
{
    if (!wc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return RegisterClassCommon(Widen(wc->lpszClassName), wc->lpfnWndProc);
}

ATOM WINAPI RegisterClassW(const WNDCLASSW *wc)
{
    if (!wc || !wc->lpszClassName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return RegisterClassCommon(wc->lpszClassName, wc->lpfnWndProc);
}

BOOL WINAPI UnregisterClassA(LPCSTR className, HINSTANCE)
{
    return UnregisterClassCommon(Widen(className));
}

BOOL WINAPI UnregisterClassW(LPCWSTR className, HINSTANCE)
{
    return UnregisterClassCommon(className ? className : L"");
}

HWND WINAPI CreateWindowExA(DWORD, LPCSTR className, LPCSTR windowName, DWORD, int, int, int, int, HWND, HMENU,
                            HINSTANCE, LPVOID param)
{
    return CreateWindowCommon(Widen(className), Widen(windowName), param);
}

HWND WINAPI CreateWindowExW(DWORD, LPCWSTR className, LPCWSTR windowName, DWORD, int, int, int, int, HWND, HMENU,
                            HINSTANCE, LPVOID param)
{
    return CreateWindowCommon(className ? className : L"", windowName ? windowName : L"", param);
}

BOOL WINAPI DestroyWindow(HWND window)
{
    WNDPROC procedure;
    {
        std::lock_guard<std::mutex> hold(windowLock);
        auto found = windows.find(window);
        if (found == windows.end()) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        procedure = found->second.procedure;
    }
    procedure(window, WM_DESTROY, 0, 0);
    std::lock_guard<std::mutex> hold(windowLock);
    auto found = windows.find(window);
    if (found != windows.end()) {
        if (found->second.xWindow && xDisplay) {
            x.DestroyWindow(xDisplay, found->second.xWindow);
            x.Flush(xDisplay);
        }
        windows.erase(found);
    }
    return TRUE;
}

BOOL WINAPI IsWindow(HWND window)
{
    std::lock_guard<std::mutex> hold(windowLock);
    return windows.count(window) ? TRUE : FALSE;
}

LRESULT WINAPI DefWindowProcA(HWND, UINT, WPARAM, LPARAM)
{
    return 0;
}

LRESULT WINAPI DefWindowProcW(HWND, UINT, WPARAM, LPARAM)
{
    return 0;
}

// The window procedure runs on the sending thread, and the call returns when
// it has: windows here have no message queue of their own.
LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    WNDPROC procedure;
    {
        std::lock_guard<std::mutex> hold(windowLock);
        auto found = windows.find(window);
        if (found == windows.end()) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        procedure = found->second.procedure;
    }
    return procedure(window, message, wParam, lParam);
}

LRESULT WINAPI SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return SendMessageA(window, message, wParam, lParam);
}

HWND WINAPI FindWindowW(LPCWSTR className, LPCWSTR windowName)
{
    DWORD error;
    std::string narrowClass = Narrow(className ? className : L"");
    if (WinPosixFaultHit("FindWindowW", narrowClass.c_str(), &error)) {
        SetLastError(error);
        return nullptr;
    }
    if (windowName) {
        // Only lookups by class are supported.
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    std::lock_guard<std::mutex> hold(windowLock);
    std::wstring wanted = Fold(className ? className : L"");
    for (const auto &entry : windows)
        if (Fold(entry.second.className) == wanted) return entry.first;
    Display *display = XDisplayLocked();
    if (!display) return nullptr;
    XErrorHandler previous = x.SetErrorHandler(IgnoreXError);
    ::Window found = FindXWindowLocked(narrowClass);
    x.Sync(display, False);
    x.SetErrorHandler(previous);
    // A window of another process: a handle that names it, good for a test
    // of existence, not for sending messages.
    return found ? (HWND)(uintptr_t)found : nullptr;
}

HWND WINAPI FindWindowA(LPCSTR className, LPCSTR windowName)
{
    std::wstring wideClass = Widen(className), wideName = Widen(windowName);
    return FindWindowW(wideClass.c_str(), windowName ? wideName.c_str() : nullptr);
}

// wsprintfA writes at most 1024 characters, terminating null included.
int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...)
{
    if (!buffer || !format) return 0;
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(buffer, 1024, format, arguments);
    va_end(arguments);
    if (length < 0) {
        buffer[0] = '\0';
        return 0;
    }
    return length < 1024 ? length : 1023;
}
