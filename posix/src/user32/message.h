// What message.cpp, the message queues, offers window.cpp above it: the
// calling thread's queue, which owns the windows the thread makes, and the
// dropping of a destroyed window's messages. Both with windowLock held.
#ifndef WINPOSIX_MESSAGE_H
#define WINPOSIX_MESSAGE_H

#include "user32_private.h"

// The calling thread's queue, made on first use; it goes when the thread
// ends, and takes the thread's windows with it.
ThreadQueue *CurrentQueueLocked();

// A window is gone: what waits for it in its thread's queue goes too, posted
// messages dropped and senders let go with 0, as on Windows.
void DropWindowMessagesLocked(ThreadQueue *owner, HWND window);

#endif
