// What user32's files share: the window classes, the windows and the
// message queues of this process, under one lock, since a message's way
// from one thread to another touches all of them. window.cpp keeps classes
// and windows, message.cpp the queues; x11drv.cpp is below both.
#ifndef WINPOSIX_USER32_PRIVATE_H
#define WINPOSIX_USER32_PRIVATE_H

#include <windows.h>

#include "x11drv.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>

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
extern std::map<std::wstring, WindowClass> windowClasses;  // keys folded to upper case
extern std::map<HWND, WND> windows;
extern std::map<DWORD, ThreadQueue *> queues;

// All of these with windowLock held.

// The calling thread's queue, made on first use.
ThreadQueue *CurrentQueueLocked();
// Keeps the queue's descriptor readable exactly while messages wait in it.
void UpdateSignalLocked(ThreadQueue *queue);
// A sender waiting for a window that is gone gets 0, as on Windows.
void ReleaseSenderLocked(SentMessage *sent);
// Removes a window from the table with what waits for it: posted messages are
// dropped, and threads that sent it a message are released. Gives back its X
// window, for the caller to destroy once it has let go of the lock.
XWindowId ForgetWindowLocked(std::map<HWND, WND>::iterator found);

#endif
