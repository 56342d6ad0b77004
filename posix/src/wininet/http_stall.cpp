// The stall clock (http_stall.h): start, stop, touch, expired. Reads the
// tick count, touches nothing but the clock.
#include "http_stall.h"

#include <algorithm>

void StallInit(StallClock *clock, DWORD timeoutMs)
{
    clock->timeoutMs = timeoutMs;
    clock->running = false;
    StallTouch(clock);
}

void StallStart(StallClock *clock)
{
    clock->bytesSeen = 0;
    clock->running = true;
    StallTouch(clock);
}

void StallStop(StallClock *clock)
{
    clock->running = false;
}

void StallTouch(StallClock *clock)
{
    clock->lastActivity = GetTickCount64();
}

void StallSawBytes(StallClock *clock, long long bytes)
{
    if (bytes == clock->bytesSeen) return;
    clock->bytesSeen = bytes;
    StallTouch(clock);
}

bool StallExpired(const StallClock *clock, ULONGLONG now)
{
    return clock->running && now - clock->lastActivity >= clock->timeoutMs;
}

int StallWaitMs(const StallClock *clock, ULONGLONG now)
{
    ULONGLONG left = clock->running ? clock->timeoutMs - (now - clock->lastActivity) : 1000;
    return (int)std::min<ULONGLONG>(left, 1000);
}
