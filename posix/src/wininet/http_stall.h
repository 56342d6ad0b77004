// The stall clock of a transfer: how long since the server last sent
// anything, against the receive time-out. Only http_stall.cpp writes a
// StallClock; it reads the tick count and nothing else.
#ifndef WINPOSIX_HTTP_STALL_H
#define WINPOSIX_HTTP_STALL_H

#include <windows.h>

struct StallClock {
    DWORD timeoutMs = 0;          // the longest wait for the next byte
    bool running = false;         // stopped while a connection is being made
    ULONGLONG lastActivity = 0;   // tick count of the last sign of the server
    long long bytesSeen = 0;      // of the current response, the bodies curl skips included
};

// The transfer is made: the time-out set, the clock not yet running.
void StallInit(StallClock *clock, DWORD timeoutMs);

// A request goes out: the clock runs from now, its byte count afresh.
void StallStart(StallClock *clock);

// A connection is being made: the connect time-out covers it instead.
void StallStop(StallClock *clock);

// The server sent something (or the caller, not the server, held the time).
void StallTouch(StallClock *clock);

// curl's count of bytes received so far for the response: a change is
// activity, bytes of a body curl reads but doesn't hand over included.
void StallSawBytes(StallClock *clock, long long bytes);

// Whether the time-out has passed without activity, at tick `now`.
bool StallExpired(const StallClock *clock, ULONGLONG now);

// How long to wait for the network at tick `now`: what is left of the
// time-out, at most a second, so that a stopped clock is looked at again.
int StallWaitMs(const StallClock *clock, ULONGLONG now);

#endif
