// user32's floor (user32_private.h): the lock and the table of windows.
// Calls nothing of user32 above it; text_convert.h is the layer's floor.
#include "user32_private.h"

#include "text_convert.h"

#include <map>

User32Lock windowLock;

namespace {

std::map<HWND, WND> windows;

uintptr_t nextWindow = 0x10010;

}  // namespace

HWND AddWindowLocked(const WND &window)
{
    USER32_ASSERT_LOCKED();
    HWND handle = (HWND)nextWindow;
    nextWindow += 4;
    windows[handle] = window;
    return handle;
}

WND *FindWindowLocked(HWND window)
{
    USER32_ASSERT_LOCKED();
    auto found = windows.find(window);
    return found == windows.end() ? nullptr : &found->second;
}

HWND FindWindowOfClassLocked(const std::wstring &foldedClass, bool messageOnlyToo)
{
    USER32_ASSERT_LOCKED();
    for (const auto &entry : windows)
        if ((messageOnlyToo || !entry.second.messageOnly) && Fold(entry.second.className) == foldedClass)
            return entry.first;
    return nullptr;
}

XWindowId RemoveWindowLocked(HWND window)
{
    USER32_ASSERT_LOCKED();
    auto found = windows.find(window);
    if (found == windows.end()) return 0;
    XWindowId xWindow = found->second.xWindow;
    windows.erase(found);
    return xWindow;
}

std::vector<XWindowId> RemoveThreadWindowsLocked(ThreadQueue *owner)
{
    USER32_ASSERT_LOCKED();
    std::vector<XWindowId> xWindows;
    for (auto window = windows.begin(); window != windows.end();) {
        if (window->second.owner != owner) {
            ++window;
            continue;
        }
        xWindows.push_back(window->second.xWindow);
        window = windows.erase(window);
    }
    return xWindows;
}
