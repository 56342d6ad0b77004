// user32's floor: the one lock over the window classes, the windows and the
// message queues of this process (a message's way from one thread to another
// touches all of them), what a window and a queue hold, and the table of
// windows (user32_private.cpp). The dependencies go one way: window.cpp
// (classes, and windows made and destroyed) calls message.cpp (the queues,
// message.h); both stand on this floor; x11drv.* is below all of them. This
// floor calls neither window.cpp nor message.cpp.
#ifndef WINPOSIX_USER32_PRIVATE_H
#define WINPOSIX_USER32_PRIVATE_H

#include <windows.h>

#include "x11drv.h"

#include <cassert>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The lock's type. Debug builds (the sanitizer build among them) give it a
// record of the thread that holds it, for the lock rule's checks below; a
// wait on a User32Condition lets go of it and takes it back through the same
// record, so a thread asleep in a wait is seen not to hold it.
#ifdef NDEBUG
typedef std::mutex User32Lock;
typedef std::condition_variable User32Condition;
#else
class User32Lock {
public:
    void lock()
    {
        mutex_.lock();
        owner_.store(GetCurrentThreadId(), std::memory_order_relaxed);
    }
    void unlock()
    {
        owner_.store(0, std::memory_order_relaxed);
        mutex_.unlock();
    }
    // Only the holder writes its own id, and clears it before letting go:
    // the calling thread reads its own id here exactly while it holds the lock.
    bool HeldByCaller() const { return owner_.load(std::memory_order_relaxed) == GetCurrentThreadId(); }

private:
    std::mutex mutex_;
    std::atomic<DWORD> owner_{0};
};
typedef std::condition_variable_any User32Condition;
#endif

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
    User32Condition *senderWakes = nullptr;  // the sender's queue's; null once the sender has left
};

struct ThreadQueue {
    DWORD threadId;
    std::deque<std::shared_ptr<SentMessage>> sent;  // oldest first; answered before any posted message
    std::deque<MSG> posted;
    bool quitPosted;
    int quitCode;
    User32Condition wakes;           // a message came, or one this thread sent was answered
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

extern User32Lock windowLock;

// The lock rule: a function named *Locked runs with windowLock held, and no
// window procedure (which may call user32 again) or X call (which may wait
// on the display) is made with it held. Debug builds check it.
#ifdef NDEBUG
#define USER32_ASSERT_LOCKED() ((void)0)
#define USER32_ASSERT_NOT_LOCKED() ((void)0)
#else
#define USER32_ASSERT_LOCKED() assert(windowLock.HeldByCaller())
#define USER32_ASSERT_NOT_LOCKED() assert(!windowLock.HeldByCaller())
#endif

// The table of windows, all with windowLock held. Handles are never given
// out twice, so a handle kept after DestroyWindow names nothing.

// Puts `window` in the table under a new handle.
HWND AddWindowLocked(const WND &window);
// The window, or null when there is none; valid while the lock is held.
WND *FindWindowLocked(HWND window);
// The first window of the class whose name folded to upper case is
// `foldedClass`; message-only ones only with `messageOnlyToo`. Null for none.
HWND FindWindowOfClassLocked(const std::wstring &foldedClass, bool messageOnlyToo);
// Takes a window out of the table; gives back its X window, for the caller
// to destroy once it has let go of the lock.
XWindowId RemoveWindowLocked(HWND window);
// A thread ends: its windows go out of the table (what waits for them goes
// with its queue). Gives back their X windows, as above.
std::vector<XWindowId> RemoveThreadWindowsLocked(ThreadQueue *owner);

#endif
