// What user32's files share: one lock over the window classes, the windows
// and the message queues of this process, since a message's way from one
// thread to another touches all of them. window.cpp owns the classes and
// windows, message.cpp the queues; each changes only its own tables and asks
// the other through the functions below. x11drv.cpp is below both.
#ifndef WINPOSIX_USER32_PRIVATE_H
#define WINPOSIX_USER32_PRIVATE_H

#include <windows.h>

#include "x11drv.h"

#include <cassert>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct WindowClass {
    WNDPROC procedure;
};

// A message sent from another thread. Held by the sender and by the queue or
// the thread answering it: a sender that leaves SendMessage unanswered (its
// thread ended, or an exception left a procedure it ran meanwhile) leaves it
// to the answering thread.
struct SentMessage {
    HWND window = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    LRESULT result = 0;
    std::atomic<bool> done{false};  // answered, or released (looked at unlocked by the waiting sender)
    bool released = false;          // the window or its thread went first, or the procedure did not return
    std::condition_variable *senderWakes = nullptr;  // the sender's queue's; null once the sender has left
};

struct ThreadQueue {
    DWORD threadId;
    std::deque<std::shared_ptr<SentMessage>> sent;  // oldest first; answered before any posted message
    std::deque<MSG> posted;
    bool quitPosted;
    int quitCode;
    std::condition_variable wakes;   // a message came, or one this thread sent was answered
    std::atomic<unsigned long> messagesCame;  // wakes for a message that came (looked at unlocked)
    int signal;                      // eventfd, readable while messages wait; -1 until asked for
    bool signalled;
    bool watchPaid;                  // the last wait ended within the watch before sleeping
};

struct WND {
    std::wstring className;
    WNDPROC procedure;
    ThreadQueue *owner;
    bool messageOnly;   // HWND_MESSAGE as parent: no X window, and FindWindow does not see it
    XWindowId xWindow;  // 0 when message-only, without a display, or not there yet
};

extern std::mutex windowLock;

// The lock rule: a function named *Locked runs with windowLock held, and no
// window procedure (which may call user32 again) or X call (which may wait
// on the display) is made with it held. Debug builds check it.
#ifdef NDEBUG
#define USER32_ASSERT_LOCKED() ((void)0)
#define USER32_ASSERT_NOT_LOCKED() ((void)0)
#else
bool WindowLockHeld();  // by the calling thread
#define USER32_ASSERT_LOCKED() assert(WindowLockHeld())
#define USER32_ASSERT_NOT_LOCKED() assert(!WindowLockHeld())
#endif

// All of these with windowLock held.

// message.cpp, the queues:
// The calling thread's queue, made on first use.
ThreadQueue *CurrentQueueLocked();
// A window is gone: what waits for it in its thread's queue goes too, posted
// messages dropped and senders let go with 0, as on Windows.
void DropWindowMessagesLocked(ThreadQueue *owner, HWND window);

// window.cpp, the windows:
// The window, or null when there is none; valid while the lock is held.
const WND *FindWindowLocked(HWND window);
// A thread ends: its windows are forgotten, without their procedures. Gives
// back their X windows, for the caller to destroy once it has let go of the lock.
std::vector<XWindowId> ForgetThreadWindowsLocked(ThreadQueue *owner);

#endif
