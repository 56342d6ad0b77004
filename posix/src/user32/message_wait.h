// How a thread waits for its queue: it watches for a moment, then sleeps.
// Writes only the queue's record of whether watching paid; what waits in the
// queue is message.cpp's. Included by message.cpp alone.
#ifndef WINPOSIX_MESSAGE_WAIT_H
#define WINPOSIX_MESSAGE_WAIT_H

#include "user32_private.h"

#include <chrono>
#include <mutex>
#include <thread>

// Waits until `ready` holds, `queue`'s thread being the one that waits. A
// thread asleep on another core takes tens of microseconds to wake, and a
// message between threads wakes one each way: a download that sends a
// message for every block would spend more time waking than receiving. So the
// waiter first watches for a short while, about what a window procedure that
// draws progress takes, without the lock (`ready` reads atomics only), and
// sleeps only then. What `ready` reads is changed with the lock held, so a
// change made after the last look under the lock wakes the sleeper.
//
// Watching pays only while what is awaited comes within the watch: a download
// on a worker thread runs faster with it (the CPU it adds is the waiting
// core's), and messages back to back much faster for less CPU, while a
// thread whose messages come seldom would spend the whole watch for nothing
// at every message. So a thread watches only when its last wait, watched or
// slept, ended within the watch's time.
//
// bench/run builds the layer a second time without the watch, to weigh it;
// the figures are in bench/README.md ("The watch before sleeping").
#ifndef WINPOSIX_WATCH_MICROSECONDS
#define WINPOSIX_WATCH_MICROSECONDS 100
#endif
inline constexpr auto kWatchBeforeSleeping = std::chrono::microseconds(WINPOSIX_WATCH_MICROSECONDS);

template <typename Ready> inline void WaitLocked(std::unique_lock<User32Lock> &hold, ThreadQueue *queue, Ready ready)
{
    USER32_ASSERT_LOCKED();
    if (ready()) return;
    bool watch = queue->watchPaid;
    hold.unlock();
    auto until = std::chrono::steady_clock::now() + kWatchBeforeSleeping;
    bool came = false;
    if (watch) {
        do {
            // Yielding, not spinning: on a busy machine the core goes to whoever
            // else can run, the thread this one waits for among them.
            std::this_thread::yield();
            came = ready();
        } while (!came && std::chrono::steady_clock::now() < until);
    }
    hold.lock();
    if (!came && !ready()) {
        queue->wakes.wait(hold);
        came = std::chrono::steady_clock::now() < until;
    }
    queue->watchPaid = came;
}

#endif
