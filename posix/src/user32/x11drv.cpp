// x11drv: this process's windows on the user's X display, and the lookup of
// top-level windows of every client there.
//
// Xlib waits without end for a server that does not answer: one that is
// stopped (SIGSTOP, a debugger), or a socket that accepts a connection and
// never speaks. So every Xlib call is made on one thread of this file's own,
// the display thread, and a caller waits for its answer only while the server
// keeps answering: the display thread notes the time of every reply, and a
// caller gives up once kDisplayAnswerBound has passed without one. A lookup
// walks every top-level window with two round trips each, which on a busy
// server (tens of thousands of windows) or a distant one (a hundred windows,
// each round trip some milliseconds) takes longer than the bound in all; such
// a display is slow, not gone, and taking it for gone would tell the updater
// that the main application has closed. A display that has stopped answering
// is treated as one whose server has ended: gone for the rest of the process.
// Its connection is closed as soon as the display thread gets it back, and
// with it go this process's X windows. Opening the display is the display
// thread's first request, under the same bound, so a DISPLAY that names a
// server that never answers is no display.
//
// One thread also means Xlib is used from one thread only, as it is safe to
// without XInitThreads.
#include "x11drv.h"

#include "system_calls.h"
#include "text_convert.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <dlfcn.h>
#include <signal.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

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
    decltype(&::XSetIOErrorHandler) SetIOErrorHandler;
    decltype(&::XSetIOErrorExitHandler) SetIOErrorExitHandler;
    decltype(&::XCloseDisplay) CloseDisplay;
};
XFunctions xlib;  // the display thread's only

template <typename Function> bool Resolve(void *library, const char *name, Function *function)
{
    *function = (Function)dlsym(library, name);
    return *function != nullptr;
}

// Loads libX11 for the rest of the process; false when it is not there.
bool LoadXlib()
{
    void *library = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (!library) return false;
    if (Resolve(library, "XOpenDisplay", &xlib.OpenDisplay) &&
        Resolve(library, "XCreateSimpleWindow", &xlib.CreateSimpleWindow) &&
        Resolve(library, "XDestroyWindow", &xlib.DestroyWindow) &&
        Resolve(library, "XSetClassHint", &xlib.SetClassHint) &&
        Resolve(library, "XGetClassHint", &xlib.GetClassHint) && Resolve(library, "XStoreName", &xlib.StoreName) &&
        Resolve(library, "XQueryTree", &xlib.QueryTree) &&
        Resolve(library, "XSetErrorHandler", &xlib.SetErrorHandler) && Resolve(library, "XFlush", &xlib.Flush) &&
        Resolve(library, "XSync", &xlib.Sync) && Resolve(library, "XFree", &xlib.Free) &&
        Resolve(library, "XSetIOErrorHandler", &xlib.SetIOErrorHandler) &&
        Resolve(library, "XSetIOErrorExitHandler", &xlib.SetIOErrorExitHandler) &&
        Resolve(library, "XCloseDisplay", &xlib.CloseDisplay))
        return true;
    dlclose(library);
    return false;
}

// Set by Xlib, on the display thread, when the connection fails.
bool connectionLost;

// Xlib's own handler of a fatal I/O error (one for the process) exits; this
// one returns, and Xlib then calls the connection's exit handler below in
// place of exiting (libX11 1.7 and later). Every later call on the
// connection fails at once.
int IgnoreXIOError(Display *)
{
    return 0;
}

void OnXConnectionLost(Display *, void *)
{
    connectionLost = true;
}

// X errors (a window destroyed between listing and asking) are expected while
// walking another client's windows; they must not end this process.
int IgnoreXError(Display *, XErrorEvent *)
{
    return 0;
}

// A request for the display thread. Shared with its caller, which may have
// stopped waiting for it.
struct DisplayRequest {
    std::function<XWindowId(Display *)> work;
    XWindowId answer = 0;
    bool answered = false;
};

struct DisplayThread {
    std::mutex lock;
    std::condition_variable requestCame;
    std::condition_variable answered;
    std::deque<std::shared_ptr<DisplayRequest>> requests;
    bool started = false;
    // No display, a lost one, or one that did not answer in time: no request
    // is run any more, and every caller gets 0 at once.
    bool gone = false;
};
// Never destroyed: at exit the display thread may still be waiting on a
// server that does not answer, and it must not find its state gone.
DisplayThread &displayThread = *new DisplayThread;

using Clock = std::chrono::steady_clock;

// When the server last answered the display thread: the display opened, or
// a reply came. Written on the display thread without the lock, which a
// walk of many windows would otherwise take once per reply; waiting callers
// read it only when their time runs out.
std::atomic<Clock::rep> lastAnswer{0};

void NoteAnswer()
{
    lastAnswer.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
}

Clock::time_point LastAnswer()
{
    return Clock::time_point(Clock::duration(lastAnswer.load(std::memory_order_relaxed)));
}

// The display, through the system-call table, whose standard function
// (X11DRV_OpenDisplay, below) loads libX11 first.
Display *OpenDisplay()
{
    Display *display = sys.XOpenDisplay(nullptr);
    if (!display) return nullptr;
    NoteAnswer();
    xlib.SetIOErrorHandler(IgnoreXIOError);
    xlib.SetIOErrorExitHandler(display, OnXConnectionLost, nullptr);
    return display;
}

void ServeDisplay()
{
    // Xlib writes to its socket without MSG_NOSIGNAL: a server that closed
    // the connection (ended, or reset as a client connected) would end the
    // whole process with SIGPIPE. Blocked on this thread, the only one that
    // writes there, the write fails instead, and Xlib's I/O error handler
    // takes the display for gone, as for any lost server.
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeOnly, nullptr);
    Display *display = OpenDisplay();
    std::unique_lock<std::mutex> hold(displayThread.lock);
    if (!display) displayThread.gone = true;
    for (;;) {
        // A display given up on while the thread was held (in opening it, or
        // in a request) is closed: its X windows go with the connection.
        if (displayThread.gone && display) {
            hold.unlock();
            xlib.CloseDisplay(display);
            hold.lock();
            display = nullptr;
        }
        if (displayThread.requests.empty()) {
            displayThread.requestCame.wait(hold);
            continue;
        }
        std::shared_ptr<DisplayRequest> request = displayThread.requests.front();
        displayThread.requests.pop_front();
        if (display) {
            hold.unlock();
            XWindowId answer = request->work(display);
            hold.lock();
            // A lost connection is closed above, outside any Xlib call on
            // it; having failed, it sends nothing more and closing only frees it.
            if (connectionLost) displayThread.gone = true;
            if (!displayThread.gone) request->answer = answer;
        }
        request->answered = true;
        displayThread.answered.notify_all();
    }
}

// Hands `work` to the display thread; with `wait`, waits for its answer as
// long as the server keeps answering, and at most the bound after its last
// answer (or after the request, if that came later). 0 without a display,
// or when the display is given up on.
XWindowId OnDisplayThread(std::function<XWindowId(Display *)> work, bool wait)
{
    std::unique_lock<std::mutex> hold(displayThread.lock);
    if (displayThread.gone) return 0;
    if (!displayThread.started) {
        const char *name = getenv("DISPLAY");
        if (!name || !*name) {
            displayThread.gone = true;
            return 0;
        }
        try {
            std::thread(ServeDisplay).detach();
        } catch (const std::system_error &) {
            displayThread.gone = true;
            return 0;
        }
        displayThread.started = true;
    }
    auto request = std::make_shared<DisplayRequest>();
    request->work = std::move(work);
    displayThread.requests.push_back(request);
    displayThread.requestCame.notify_one();
    if (!wait) return 0;
    // Work queued behind a long walk waits while the walk goes on.
    const Clock::time_point asked = Clock::now();
    for (;;) {
        Clock::time_point deadline = std::max(asked, LastAnswer()) + kDisplayAnswerBound;
        if (displayThread.answered.wait_until(hold, deadline,
                                              [&] { return request->answered || displayThread.gone; }))
            return request->answer;
        if (std::max(asked, LastAnswer()) + kDisplayAnswerBound > Clock::now()) continue;  // it answered meanwhile
        // The display thread is held by a server that has stopped answering;
        // whatever it is asked from now on gets no answer either.
        displayThread.gone = true;
        displayThread.answered.notify_all();
        return 0;
    }
}

// The calls of a lookup wait for the server's reply, so each return is a
// sign of life: NoteAnswer after every one (an X error is an answer too).

bool ClassMatches(Display *display, Window xWindow, const std::string &wanted)
{
    XClassHint hint = {nullptr, nullptr};
    Status got = xlib.GetClassHint(display, xWindow, &hint);
    NoteAnswer();
    if (!got) return false;
    bool match = hint.res_class && strcasecmp(hint.res_class, wanted.c_str()) == 0;
    if (hint.res_name) xlib.Free(hint.res_name);
    if (hint.res_class) xlib.Free(hint.res_class);
    return match;
}

// The children of `window`, to be freed with xlib.Free; false when it has
// gone (or the connection has).
bool QueryChildren(Display *display, Window window, Window **children, unsigned int *count)
{
    Window unusedRoot, unusedParent;
    Status got = xlib.QueryTree(display, window, &unusedRoot, &unusedParent, children, count);
    NoteAnswer();
    return got != 0;
}

// Top-level windows are the root's children; a window manager that reparents
// puts the client one level further down, so that level is searched as well.
Window FindByClass(Display *display, const std::string &wanted)
{
    Window *children = nullptr;
    unsigned int count = 0;
    if (!QueryChildren(display, DefaultRootWindow(display), &children, &count)) return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && !found; i++) {
        if (ClassMatches(display, children[i], wanted)) {
            found = children[i];
            break;
        }
        Window *grandchildren = nullptr;
        unsigned int grandcount = 0;
        if (QueryChildren(display, children[i], &grandchildren, &grandcount)) {
            for (unsigned int j = 0; j < grandcount && !found; j++)
                if (ClassMatches(display, grandchildren[j], wanted)) found = grandchildren[j];
            if (grandchildren) xlib.Free(grandchildren);
        }
    }
    if (children) xlib.Free(children);
    return found;
}

}  // namespace

Display *X11DRV_OpenDisplay(const char *name)
{
    // Only the display thread opens the display, once; a second call finds
    // the library loaded.
    static const bool loaded = LoadXlib();
    return loaded ? xlib.OpenDisplay(name) : nullptr;
}

XWindowId X11DRV_CreateWindow(const std::wstring &className, const std::wstring &title)
{
    std::string narrowClass = Narrow(className), narrowTitle = Narrow(title);
    return OnDisplayThread(
        [narrowClass, narrowTitle](Display *display) -> XWindowId {
            Window window = xlib.CreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
            if (!window) return 0;
            XClassHint hint;
            hint.res_name = const_cast<char *>(narrowClass.c_str());
            hint.res_class = const_cast<char *>(narrowClass.c_str());
            xlib.SetClassHint(display, window, &hint);
            xlib.StoreName(display, window, narrowTitle.c_str());
            xlib.Flush(display);
            return window;
        },
        true);
}

void X11DRV_DestroyWindow(XWindowId window)
{
    if (!window) return;
    OnDisplayThread(
        [window](Display *display) -> XWindowId {
            xlib.DestroyWindow(display, window);
            xlib.Flush(display);
            return 0;
        },
        false);
}

XWindowId X11DRV_FindWindowByClass(const std::string &className)
{
    return OnDisplayThread(
        [className](Display *display) -> XWindowId {
            XErrorHandler previous = xlib.SetErrorHandler(IgnoreXError);
            Window found = FindByClass(display, className);
            xlib.Sync(display, False);
            NoteAnswer();
            xlib.SetErrorHandler(previous);
            return found;
        },
        true);
}
