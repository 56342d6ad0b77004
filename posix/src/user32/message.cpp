// user32's message queues: every thread that uses windows or messages has
// one. Posted messages wait in it until the thread retrieves them, and a
// message sent from another thread waits in it until the thread, in
// GetMessage, PeekMessage or a SendMessage of its own, runs the window
// procedure; the sender is held until then. A thread that ends takes its
// queue and its windows with it. Every change to a queue is made here, by
// the functions that keep its descriptor's signal right.
//
// Called by window.cpp (message.h); stands on user32's floor (the lock and
// the table of windows, user32_private.h) and x11drv.h, and calls nothing
// of window.cpp.
#include <windows.h>
#include <winposix.h>

#include "errors.h"
#include "message.h"
#include "message_wait.h"
#include "system_calls.h"
#include "user32_private.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <map>
#include <vector>

namespace {

std::map<DWORD, ThreadQueue *> queues;  // by thread id

// The calling thread's queue; the thread-end guard frees it and what hangs on
// it when the thread ends.
thread_local ThreadQueue *currentQueue;

void EndThreadQueue();

struct ThreadEndGuard {
    bool armed = false;
    ~ThreadEndGuard()
    {
        if (armed) EndThreadQueue();
    }
};
thread_local ThreadEndGuard threadEnd;

}  // namespace

ThreadQueue *CurrentQueueLocked()
{
    USER32_ASSERT_LOCKED();
    if (!currentQueue) {
        ThreadQueue *queue = new ThreadQueue;
        queue->threadId = GetCurrentThreadId();
        queue->quitPosted = false;
        queue->quitCode = 0;
        queue->signal = -1;
        queue->signalled = false;
        queue->messagesCame = 0;
        queue->watchPaid = true;
        queues[queue->threadId] = queue;
        currentQueue = queue;
        threadEnd.armed = true;
    }
    return currentQueue;
}

namespace {

// Keeps the queue's descriptor readable exactly while messages wait in it:
// called after every change to what waits.
void UpdateSignalLocked(ThreadQueue *queue)
{
    USER32_ASSERT_LOCKED();
    bool waiting = !queue->sent.empty() || !queue->posted.empty() || queue->quitPosted;
    if (queue->signal < 0 || waiting == queue->signalled) return;
    uint64_t count = 1;
    ssize_t moved = waiting ? sys.write(queue->signal, &count, sizeof count)
                            : sys.read(queue->signal, &count, sizeof count);
    if (moved == (ssize_t)sizeof count) queue->signalled = waiting;
}

void WakeLocked(ThreadQueue *queue)
{
    USER32_ASSERT_LOCKED();
    queue->messagesCame++;
    UpdateSignalLocked(queue);
    queue->wakes.notify_all();
}

// Lets the sender go on with `result`; one that has left SendMessage is not woken.
void AnsweredLocked(SentMessage *sent, LRESULT result)
{
    USER32_ASSERT_LOCKED();
    sent->result = result;
    sent->done = true;
    if (sent->senderWakes) sent->senderWakes->notify_all();
}

// A sender waiting for a window that is gone gets 0, as on Windows.
void ReleaseSenderLocked(SentMessage *sent)
{
    USER32_ASSERT_LOCKED();
    sent->released = true;
    AnsweredLocked(sent, 0);
}

// Lets the sender go with 0 when the procedure answering it does not return:
// the thread ends inside it (pthread_exit unwinds through it, as does
// cancellation) or an exception leaves it. The message is off the queue by
// then, so the thread's end would not find the sender any more.
struct SenderRelease {
    SentMessage *sent;
    ~SenderRelease()
    {
        if (!sent) return;
        std::lock_guard<User32Lock> hold(windowLock);
        ReleaseSenderLocked(sent);
    }
};

// A sender that leaves SendMessage without its answer: its thread ends, or an
// exception leaves a procedure it ran for another thread while it waited.
// Its message, if still queued, is taken back; if being answered, the answer
// wakes no one (the sender's queue may be gone by then).
struct SenderLeaves {
    std::unique_lock<User32Lock> &hold;
    std::shared_ptr<SentMessage> &sent;
    ThreadQueue *owner;
    ~SenderLeaves()
    {
        if (!hold.owns_lock()) hold.lock();
        if (sent->done) return;
        for (auto queued = owner->sent.begin(); queued != owner->sent.end(); ++queued) {
            if (*queued != sent) continue;
            owner->sent.erase(queued);
            UpdateSignalLocked(owner);
            break;
        }
        sent->senderWakes = nullptr;
    }
};

// Runs the procedure for the oldest message another thread sent to this one,
// then lets the sender go on. False when none waits.
bool AnswerOneSentLocked(std::unique_lock<User32Lock> &hold, ThreadQueue *queue)
{
    USER32_ASSERT_LOCKED();
    if (queue->sent.empty()) return false;
    std::shared_ptr<SentMessage> sent = queue->sent.front();
    queue->sent.pop_front();
    UpdateSignalLocked(queue);
    // Only this thread can destroy the window, so it is there until the call;
    // the procedure is taken out of the table, so the call is safe even if
    // the window destroys itself inside it.
    const WND *found = FindWindowLocked(sent->window);
    if (!found) {
        ReleaseSenderLocked(sent.get());
        return true;
    }
    WNDPROC procedure = found->procedure;
    hold.unlock();
    USER32_ASSERT_NOT_LOCKED();
    SenderRelease unanswered{sent.get()};
    LRESULT result = procedure(sent->window, sent->message, sent->wParam, sent->lParam);
    unanswered.sent = nullptr;
    hold.lock();
    AnsweredLocked(sent.get(), result);
    return true;
}

// A thread that ends takes its windows with it; their procedures are not
// called any more (the thread that would run them is gone).
void EndThreadQueue()
{
    std::vector<XWindowId> xWindows;
    {
        std::lock_guard<User32Lock> hold(windowLock);
        ThreadQueue *queue = currentQueue;
        if (!queue) return;
        xWindows = RemoveThreadWindowsLocked(queue);
        for (const auto &sent : queue->sent) ReleaseSenderLocked(sent.get());
        if (queue->signal >= 0) close(queue->signal);
        queues.erase(queue->threadId);
        delete queue;
        currentQueue = nullptr;
    }
    USER32_ASSERT_NOT_LOCKED();
    for (XWindowId xWindow : xWindows) X11DRV_DestroyWindow(xWindow);
}

void PostLocked(ThreadQueue *queue, HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    USER32_ASSERT_LOCKED();
    MSG posted = {};
    posted.hwnd = window;
    posted.message = message;
    posted.wParam = wParam;
    posted.lParam = lParam;
    posted.time = GetTickCount();
    queue->posted.push_back(posted);
    WakeLocked(queue);
}

// The filters of GetMessage and PeekMessage: no window means every message
// of the thread, (HWND)-1 the thread's own (window-less) messages; a range
// of 0..0 means every message.
bool MatchesFilter(const MSG &message, HWND window, UINT filterMin, UINT filterMax)
{
    if (window == (HWND)(intptr_t)-1) {
        if (message.hwnd) return false;
    } else if (window && message.hwnd != window) {
        return false;
    }
    if (filterMin == 0 && filterMax == 0) return true;
    return message.message >= filterMin && message.message <= filterMax;
}

bool FilterWindowValidLocked(HWND window)
{
    USER32_ASSERT_LOCKED();
    if (!window || window == (HWND)(intptr_t)-1 || FindWindowLocked(window)) return true;
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
}

// What a retrieving call does: answers every message sent to this thread,
// then takes the first posted message that passes the filter or, when none
// does, the quit request, which passes every filter.
bool RetrieveLocked(std::unique_lock<User32Lock> &hold, ThreadQueue *queue, MSG *message, HWND window,
                    UINT filterMin, UINT filterMax, bool remove)
{
    USER32_ASSERT_LOCKED();
    while (AnswerOneSentLocked(hold, queue)) {
    }
    for (auto posted = queue->posted.begin(); posted != queue->posted.end(); ++posted) {
        if (!MatchesFilter(*posted, window, filterMin, filterMax)) continue;
        *message = *posted;
        if (remove) {
            queue->posted.erase(posted);
            UpdateSignalLocked(queue);
        }
        return true;
    }
    if (!queue->quitPosted) return false;
    *message = MSG();
    message->message = WM_QUIT;
    message->wParam = (WPARAM)queue->quitCode;
    message->time = GetTickCount();
    if (remove) {
        queue->quitPosted = false;
        UpdateSignalLocked(queue);
    }
    return true;
}

}  // namespace

void DropWindowMessagesLocked(ThreadQueue *owner, HWND window)
{
    USER32_ASSERT_LOCKED();
    for (auto posted = owner->posted.begin(); posted != owner->posted.end();)
        posted = posted->hwnd == window ? owner->posted.erase(posted) : posted + 1;
    for (auto sent = owner->sent.begin(); sent != owner->sent.end();) {
        if ((*sent)->window != window) {
            ++sent;
            continue;
        }
        ReleaseSenderLocked(sent->get());
        sent = owner->sent.erase(sent);
    }
    UpdateSignalLocked(owner);
}

// To a window of the calling thread, the procedure is called directly. To a
// window of another thread, the message waits in that thread's queue until
// the thread retrieves messages, and the sender with it; meanwhile the sender
// answers messages sent to itself, so that two threads sending to each other
// go on.
LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    std::unique_lock<User32Lock> hold(windowLock);
    const WND *found = FindWindowLocked(window);
    if (!found) return FailWith(ERROR_INVALID_WINDOW_HANDLE, 0);
    ThreadQueue *self = CurrentQueueLocked();
    if (found->owner == self) {
        WNDPROC procedure = found->procedure;
        hold.unlock();
        USER32_ASSERT_NOT_LOCKED();
        return procedure(window, message, wParam, lParam);
    }
    auto sent = std::make_shared<SentMessage>();
    sent->window = window;
    sent->message = message;
    sent->wParam = wParam;
    sent->lParam = lParam;
    sent->senderWakes = &self->wakes;
    ThreadQueue *owner = found->owner;
    owner->sent.push_back(sent);
    WakeLocked(owner);
    SenderLeaves leaving{hold, sent, owner};
    while (!sent->done) {
        if (AnswerOneSentLocked(hold, self)) continue;
        unsigned long seen = self->messagesCame;
        WaitLocked(hold, self, [&] { return sent->done || self->messagesCame != seen; });
    }
    if (sent->released) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return sent->result;
}

LRESULT WINAPI SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return SendMessageA(window, message, wParam, lParam);
}

// A null window posts to the calling thread itself, as PostThreadMessage.
BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    std::lock_guard<User32Lock> hold(windowLock);
    if (!window) {
        PostLocked(CurrentQueueLocked(), nullptr, message, wParam, lParam);
        return TRUE;
    }
    const WND *found = FindWindowLocked(window);
    if (!found) return FailWith(ERROR_INVALID_WINDOW_HANDLE, FALSE);
    PostLocked(found->owner, window, message, wParam, lParam);
    return TRUE;
}

BOOL WINAPI PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return PostMessageA(window, message, wParam, lParam);
}

// A thread has a queue once it has used a window or a message function.
BOOL WINAPI PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam)
{
    std::lock_guard<User32Lock> hold(windowLock);
    auto found = queues.find(threadId);
    if (found == queues.end()) return FailWith(ERROR_INVALID_THREAD_ID, FALSE);
    PostLocked(found->second, nullptr, message, wParam, lParam);
    return TRUE;
}

BOOL WINAPI PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam)
{
    return PostThreadMessageA(threadId, message, wParam, lParam);
}

// A request, not a message in line: WM_QUIT comes once no posted message is left.
void WINAPI PostQuitMessage(int exitCode)
{
    std::lock_guard<User32Lock> hold(windowLock);
    ThreadQueue *queue = CurrentQueueLocked();
    queue->quitPosted = true;
    queue->quitCode = exitCode;
    WakeLocked(queue);
}

// Waits for a posted message, answering sent ones meanwhile. FALSE for
// WM_QUIT, -1 for a window filter that names no window.
BOOL WINAPI GetMessageA(LPMSG message, HWND window, UINT filterMin, UINT filterMax)
{
    if (!message) return FailWith(ERROR_INVALID_PARAMETER, -1);
    std::unique_lock<User32Lock> hold(windowLock);
    if (!FilterWindowValidLocked(window)) return -1;
    ThreadQueue *queue = CurrentQueueLocked();
    while (!RetrieveLocked(hold, queue, message, window, filterMin, filterMax, true)) {
        unsigned long seen = queue->messagesCame;
        WaitLocked(hold, queue, [queue, seen] { return queue->messagesCame != seen; });
    }
    return message->message != WM_QUIT;
}

BOOL WINAPI GetMessageW(LPMSG message, HWND window, UINT filterMin, UINT filterMax)
{
    return GetMessageA(message, window, filterMin, filterMax);
}

// Answers sent messages and returns at once: TRUE with a posted message (or
// WM_QUIT), left in the queue unless PM_REMOVE is given.
BOOL WINAPI PeekMessageA(LPMSG message, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags)
{
    if (!message) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    std::unique_lock<User32Lock> hold(windowLock);
    if (!FilterWindowValidLocked(window)) return FALSE;
    return RetrieveLocked(hold, CurrentQueueLocked(), message, window, filterMin, filterMax,
                          (removeFlags & PM_REMOVE) != 0);
}

BOOL WINAPI PeekMessageW(LPMSG message, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags)
{
    return PeekMessageA(message, window, filterMin, filterMax, removeFlags);
}

// The kinds of message waiting in the calling thread's queue, in the high
// word; the low word (on Windows: what came since the last look) is the same.
DWORD WINAPI GetQueueStatus(UINT flags)
{
    std::lock_guard<User32Lock> hold(windowLock);
    ThreadQueue *queue = CurrentQueueLocked();
    DWORD waiting = 0;
    if (!queue->sent.empty()) waiting |= QS_SENDMESSAGE;
    if (!queue->posted.empty() || queue->quitPosted) waiting |= QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
    waiting &= flags;
    return (waiting << 16) | waiting;
}

int WinPosix_MessageQueueFd(void)
{
    std::lock_guard<User32Lock> hold(windowLock);
    ThreadQueue *queue = CurrentQueueLocked();
    if (queue->signal < 0) {
        queue->signal = sys.eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        queue->signalled = false;
        UpdateSignalLocked(queue);
    }
    return queue->signal;
}

