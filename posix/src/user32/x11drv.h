// x11drv: the X side of user32's windows. Every window that is not
// message-only has an unmapped X window on the user's display, its class as
// WM_CLASS, so that FindWindow in another process sees it, as FindWindow on
// Windows sees every top-level window of the desktop.
//
// No display, a lost one (the X server ended) and one that has stopped
// answering (no reply within kDisplayAnswerBound) all count as a display
// without windows: creation gives no X window and a lookup finds nothing.
// A slow display that keeps answering is still there: a call waits while
// replies keep coming, and at most the bound after the last one. user32
// makes these calls without its lock held.
#ifndef WINPOSIX_X11DRV_H
#define WINPOSIX_X11DRV_H

#include <chrono>
#include <string>

// X's window identifier; 0 is none.
typedef unsigned long XWindowId;

// The longest wait for one reply: long enough for a server that is busy,
// short enough that a caller of FindWindowW or CreateWindowEx held by a
// server that has stopped is not taken for hung.
constexpr std::chrono::milliseconds kDisplayAnswerBound(2000);

// An unmapped window with `className` as its WM_CLASS; 0 without a display.
XWindowId X11DRV_CreateWindow(const std::wstring &className, const std::wstring &title);

// The system-call table's standard XOpenDisplay (system_calls.h): libX11's,
// the library loaded on the first call. Null when it can't be loaded or the
// display can't be opened.
struct _XDisplay *X11DRV_OpenDisplay(const char *name);

// Destroys a window made by X11DRV_CreateWindow; returns without waiting.
void X11DRV_DestroyWindow(XWindowId window);

// A top-level window of any client whose WM_CLASS class is `className`
// (compared regardless of case); 0 for none, and when the connection is
// lost during the lookup.
XWindowId X11DRV_FindWindowByClass(const std::string &className);

#endif
