// Waiting on a thread's message queue, in both builds.
#ifndef TESTS_MESSAGES_H
#define TESTS_MESSAGES_H

#include <windows.h>

// Waits until another thread's sent message waits in the calling thread's
// queue; false if none comes within 10 s.
bool WaitForSentMessage();
inline bool WaitForSentMessage()
{
    for (int waited = 0; waited < 10000; waited += 5) {
        if (HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE) return true;
        Sleep(5);
    }
    return false;
}

#endif
