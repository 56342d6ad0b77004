// user32's window classes and windows. A window lives in the process's
// table of windows (user32_private.h) and belongs to the thread that created
// it (its queue: message.cpp). A window that is not message-only also has an
// X window (x11drv.cpp), so that FindWindow in another process sees it; the X
// calls are made with no lock of user32's held, so a display that is slow to
// answer holds up only the thread that creates or looks for a window.
// DispatchMessage is here too: it calls a window's procedure for a message
// already taken off its queue, and touches no queue.
//
// The top of user32: calls message.cpp (message.h), user32's floor
// (user32_private.h) and x11drv.h; nothing calls it but through the Win32
// functions.
#include <windows.h>
#include <winposix.h>

#include "errors.h"
#include "message.h"
#include "text_convert.h"
#include "user32_private.h"

#include <map>

namespace {

struct WindowClass {
    WNDPROC procedure;
};

std::map<std::wstring, WindowClass> windowClasses;  // keys folded to upper case

ATOM RegisterClassCommon(const std::wstring &name, WNDPROC procedure)
{
    if (name.empty() || !procedure) return FailWith(ERROR_INVALID_PARAMETER, 0);
    std::lock_guard<User32Lock> hold(windowLock);
    if (!windowClasses.emplace(Fold(name), WindowClass{procedure}).second)
        return FailWith(ERROR_CLASS_ALREADY_EXISTS, 0);
    return (ATOM)(0xC000 + windowClasses.size());
}

// A class stays while windows of it are there, as on Windows.
BOOL UnregisterClassCommon(const std::wstring &name)
{
    std::lock_guard<User32Lock> hold(windowLock);
    std::wstring folded = Fold(name);
    auto found = windowClasses.find(folded);
    if (found == windowClasses.end()) return FailWith(ERROR_CLASS_DOES_NOT_EXIST, FALSE);
    if (FindWindowOfClassLocked(folded, true)) return FailWith(ERROR_CLASS_HAS_WINDOWS, FALSE);
    windowClasses.erase(found);
    return TRUE;
}

// The window is in the table (its class thus kept) before its X window is
// made, which happens without the lock; only this thread can destroy it, so
// it is still there to take the X window.
HWND CreateWindowCommon(const std::wstring &className, const std::wstring &title, HWND parent,
                        const void *createStruct)
{
    WNDPROC procedure;
    HWND window;
    bool messageOnly = parent == HWND_MESSAGE;
    {
        std::lock_guard<User32Lock> hold(windowLock);
        auto found = windowClasses.find(Fold(className));
        if (found == windowClasses.end()) return FailWith(ERROR_CANNOT_FIND_WND_CLASS, nullptr);
        procedure = found->second.procedure;
        window = AddWindowLocked(WND{className, procedure, CurrentQueueLocked(), messageOnly, 0});
    }
    if (!messageOnly) {
        USER32_ASSERT_NOT_LOCKED();
        XWindowId xWindow = X11DRV_CreateWindow(className, title);
        std::lock_guard<User32Lock> hold(windowLock);
        if (WND *found = FindWindowLocked(window)) found->xWindow = xWindow;
    }
    // As on Windows, the procedure sees WM_CREATE (with the creation
    // arguments) before the caller gets the handle, and -1 from it destroys
    // the window.
    USER32_ASSERT_NOT_LOCKED();
    if (procedure(window, WM_CREATE, 0, (LPARAM)createStruct) == -1) {
        DestroyWindow(window);
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return window;
}

}  // namespace

ATOM WINAPI RegisterClassA(const WNDCLASSA *wc)
{
    if (!wc) return FailWith(ERROR_INVALID_PARAMETER, 0);
    return RegisterClassCommon(Widen(wc->lpszClassName), wc->lpfnWndProc);
}

ATOM WINAPI RegisterClassW(const WNDCLASSW *wc)
{
    if (!wc || !wc->lpszClassName) return FailWith(ERROR_INVALID_PARAMETER, 0);
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

HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                            int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param)
{
    CREATESTRUCTA create = {param, instance, menu, parent, height, width, y, x, (LONG)style, windowName, className,
                            exStyle};
    return CreateWindowCommon(Widen(className), Widen(windowName), parent, &create);
}

HWND WINAPI CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y,
                            int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param)
{
    CREATESTRUCTW create = {param, instance, menu, parent, height, width, y, x, (LONG)style, windowName, className,
                            exStyle};
    return CreateWindowCommon(className ? className : L"", windowName ? windowName : L"", parent, &create);
}

// Only the thread that owns a window can destroy it, as on Windows; so no
// other thread can take it away while its procedure runs for a message.
BOOL WINAPI DestroyWindow(HWND window)
{
    WNDPROC procedure;
    {
        std::lock_guard<User32Lock> hold(windowLock);
        const WND *found = FindWindowLocked(window);
        if (!found) return FailWith(ERROR_INVALID_WINDOW_HANDLE, FALSE);
        if (found->owner != CurrentQueueLocked()) return FailWith(ERROR_ACCESS_DENIED, FALSE);
        procedure = found->procedure;
    }
    USER32_ASSERT_NOT_LOCKED();
    procedure(window, WM_DESTROY, 0, 0);
    XWindowId xWindow = 0;
    {
        // Out of the table, and what waits for it in its queue with it.
        std::lock_guard<User32Lock> hold(windowLock);
        if (const WND *found = FindWindowLocked(window)) {
            ThreadQueue *owner = found->owner;
            xWindow = RemoveWindowLocked(window);
            DropWindowMessagesLocked(owner, window);
        }
    }
    USER32_ASSERT_NOT_LOCKED();
    X11DRV_DestroyWindow(xWindow);
    return TRUE;
}

BOOL WINAPI IsWindow(HWND window)
{
    std::lock_guard<User32Lock> hold(windowLock);
    return FindWindowLocked(window) ? TRUE : FALSE;
}

LRESULT WINAPI DefWindowProcA(HWND, UINT, WPARAM, LPARAM)
{
    return 0;
}

LRESULT WINAPI DefWindowProcW(HWND, UINT, WPARAM, LPARAM)
{
    return 0;
}

// This process's windows first, then every top-level window on the display.
// Message-only windows are not top-level windows: not found, as on Windows.
HWND WINAPI FindWindowW(LPCWSTR className, LPCWSTR windowName)
{
    std::string narrowClass = Narrow(className);
    // Only lookups by class are supported.
    if (windowName) return FailWith(ERROR_NOT_SUPPORTED, nullptr);
    {
        std::lock_guard<User32Lock> hold(windowLock);
        if (HWND own = FindWindowOfClassLocked(Fold(className ? className : L""), false)) return own;
    }
    // A window of another process: a handle that names it, good for a test
    // of existence, not for sending messages.
    USER32_ASSERT_NOT_LOCKED();
    return (HWND)(uintptr_t)X11DRV_FindWindowByClass(narrowClass);
}

HWND WINAPI FindWindowA(LPCSTR className, LPCSTR windowName)
{
    std::wstring wideClass = Widen(className), wideName = Widen(windowName);
    return FindWindowW(wideClass.c_str(), windowName ? wideName.c_str() : nullptr);
}

// There is no keyboard input, so there is nothing to translate.
BOOL WINAPI TranslateMessage(const MSG *)
{
    return FALSE;
}

// Calls the procedure of the message's window, which must be the calling
// thread's; thread messages (no window) go to no procedure.
LRESULT WINAPI DispatchMessageA(const MSG *message)
{
    if (!message) return FailWith(ERROR_INVALID_PARAMETER, 0);
    if (!message->hwnd) return 0;
    WNDPROC procedure;
    {
        std::lock_guard<User32Lock> hold(windowLock);
        const WND *found = FindWindowLocked(message->hwnd);
        if (!found) return FailWith(ERROR_INVALID_WINDOW_HANDLE, 0);
        if (found->owner != CurrentQueueLocked()) return FailWith(ERROR_WINDOW_OF_OTHER_THREAD, 0);
        procedure = found->procedure;
    }
    USER32_ASSERT_NOT_LOCKED();
    return procedure(message->hwnd, message->message, message->wParam, message->lParam);
}

LRESULT WINAPI DispatchMessageW(const MSG *message)
{
    return DispatchMessageA(message);
}
