// --max-time and --connect-timeout (time_limit.h): a watching thread ends
// the run with 28 once a limit has passed, the library's call being one that
// can't be stopped part way.
#include "time_limit.h"

#include "exit_codes.h"
#include "interrupt.h"

#include <stdio.h>
#include <string.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

typedef std::chrono::steady_clock Clock;

// All under `lock`.
std::mutex lock;
std::condition_variable changed;
std::thread watcher;
bool watching;
Clock::time_point runEnds;         // --max-time's end; unset when not asked for
bool runBounded;
std::chrono::milliseconds answerWithin;
bool answerBounded;
Clock::time_point attemptStarted;
bool waitingForAnswer;             // an attempt is under way and its answer has not come
const char *attemptUrl;
bool held;
bool stopping;
double maxSeconds, connectSeconds;

// Under `lock`, which it keeps: the main thread then can't start a rename.
[[noreturn]] void EndRun(bool answer)
{
    char words[600];
    if (answer)
        snprintf(words, sizeof words, "larkspan-get: %s: no answer within %g s (--connect-timeout)\n", attemptUrl,
                 connectSeconds);
    else
        snprintf(words, sizeof words, "larkspan-get: %s: not done within %g s (--max-time)\n", attemptUrl,
                 maxSeconds);
    size_t length = strlen(words);
    snprintf(words + length, sizeof words - length, "larkspan-get: %d (%s): from %s\n", kExitTimeout,
             ExitCodeWords(kExitTimeout), attemptUrl);
    InterruptEndRun(kExitTimeout, words);
    for (;;) {}  // not reached: the process has ended
}

void Watch()
{
    std::unique_lock<std::mutex> hold(lock);
    while (!stopping) {
        Clock::time_point now = Clock::now(), next = Clock::time_point::max();
        bool answer = false;
        if (runBounded) next = runEnds;
        if (answerBounded && waitingForAnswer && attemptStarted + answerWithin < next) {
            next = attemptStarted + answerWithin;
            answer = true;
        }
        if (next == Clock::time_point::max() || held) {
            changed.wait(hold);
        } else if (now >= next) {
            EndRun(answer);
        } else {
            changed.wait_until(hold, next);
        }
    }
}

// A whole number of milliseconds, rounded up: never before the limit.
std::chrono::milliseconds Milliseconds(double seconds)
{
    return std::chrono::milliseconds((long long)(seconds * 1000 + 0.999));
}

}  // namespace

void TimeLimitStart(double maxTime, double connectTimeout, const char *firstUrl)
{
    if (maxTime <= 0 && connectTimeout <= 0) return;
    std::lock_guard<std::mutex> guard(lock);
    attemptUrl = firstUrl;
    maxSeconds = maxTime;
    connectSeconds = connectTimeout;
    runBounded = maxTime > 0;
    runEnds = Clock::now() + Milliseconds(maxTime);
    answerBounded = connectTimeout > 0;
    answerWithin = Milliseconds(connectTimeout);
    held = true;
    watching = true;
    watcher = std::thread(Watch);
}

void TimeLimitAttempt(const char *url)
{
    if (!watching) return;
    std::lock_guard<std::mutex> guard(lock);
    attemptUrl = url;
    attemptStarted = Clock::now();
    waitingForAnswer = true;
    held = false;
    changed.notify_all();
}

void TimeLimitAnswered()
{
    if (!watching) return;
    std::lock_guard<std::mutex> guard(lock);
    waitingForAnswer = false;
}

void TimeLimitHold()
{
    if (!watching) return;
    std::lock_guard<std::mutex> guard(lock);
    held = true;
    waitingForAnswer = false;
}

void TimeLimitRelease()
{
    if (!watching) return;
    std::lock_guard<std::mutex> guard(lock);
    held = false;
    changed.notify_all();
}

void TimeLimitStop()
{
    if (!watching) return;
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
        changed.notify_all();
    }
    watcher.join();
    watching = false;
}
