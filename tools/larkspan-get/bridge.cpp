// The path the library writes into, copied by a thread into a handle of this
// process (bridge.h): natively a pipe's /proc/self/fd name, on Windows a named
// pipe. Touches only the pipe, the thread and the handle it is given.
#include "bridge.h"

#include "wine.h"

#include <stdio.h>
#include <stdlib.h>

#include <thread>

#ifndef _WIN32
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {
// The pipe's buffers and each copy: room for what many of the library's
// writes bring.
const size_t kChunk = 1024 * 1024;
}

#ifdef _WIN32

struct Bridge {
    HANDLE pipe;
    HANDLE sink;
    std::string name;
    std::thread copier;
    DWORD failure;
    bool underWine;
};

namespace {

void Copy(Bridge *bridge)
{
    char *buffer = (char *)malloc(kChunk);
    if (!buffer) bridge->failure = ERROR_NOT_ENOUGH_MEMORY;
    // The library may connect before this call (ERROR_PIPE_CONNECTED), and
    // may even have written everything and gone (ERROR_NO_DATA, a small
    // body on a busy machine): what it wrote is still in the pipe, to be
    // read to its end. Anything else is a failure, never an empty body.
    DWORD connected = buffer && !ConnectNamedPipe(bridge->pipe, NULL) ? GetLastError() : 0;
    if (connected != 0 && connected != ERROR_PIPE_CONNECTED && connected != ERROR_NO_DATA) bridge->failure = connected;
    if (!bridge->failure) {
        DWORD got;
        for (;;) {
            if (!ReadFile(bridge->pipe, buffer, kChunk, &got, NULL)) {
                // The library's end closed (or, where it never wrote, gone):
                // the end of the body.
                DWORD error = GetLastError();
                if (error != ERROR_BROKEN_PIPE && error != ERROR_PIPE_NOT_CONNECTED) bridge->failure = error;
                break;
            }
            if (got == 0) break;
            for (DWORD done = 0, put; done < got; done += put) {
                BOOL wrote = WriteFile(bridge->sink, buffer + done, got - done, &put, NULL);
                if (!wrote || put == 0) {
                    bridge->failure = !wrote && GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
                    break;
                }
            }
            // Under Wine every pipe call is a trip to its server, and a read
            // takes what one write of the library's (32000 bytes) brought: a
            // read that found little waits a moment, and the next takes what
            // several brought (a 200 MB download then took 1.1 times as long
            // as into the file directly, not 1.5 to 2 times). Windows' pipes
            // need no such wait, and Sleep(1) may last a 15.6 ms tick there.
            if (got < kChunk / 4 && bridge->underWine) Sleep(1);
            if (bridge->failure) break;
        }
    }
    free(buffer);
    // Closed here, so that a writer still writing fails at once.
    CloseHandle(bridge->pipe);
    bridge->pipe = INVALID_HANDLE_VALUE;
}

}  // namespace

Bridge *BridgeOpen(BridgeSink sink, std::string *path, unsigned long *error)
{
    char name[96];
    snprintf(name, sizeof name, "\\\\.\\pipe\\larkspan-get-%lu-%llu", (unsigned long)GetCurrentProcessId(),
             (unsigned long long)GetTickCount64());
    // Duplex: the library opens its file for update ("w+b"), reading as well.
    // One instance, ours alone (the first), and none for other machines.
    HANDLE pipe = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                   kChunk, kChunk, 0, NULL);
    if (pipe == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return NULL;
    }
    Bridge *bridge = new Bridge();
    bridge->pipe = pipe;
    bridge->sink = sink;
    bridge->name = name;
    bridge->failure = 0;
    bridge->underWine = UnderWine();
    bridge->copier = std::thread(Copy, bridge);
    *path = name;
    return bridge;
}

unsigned long BridgeClose(Bridge *bridge)
{
    // A library that failed before it opened its file never connected: the
    // copier still waits in ConnectNamedPipe. Connecting and leaving ends
    // that wait; where the library did connect, the one instance is taken
    // and this open fails, harmlessly.
    HANDLE client = CreateFileA(bridge->name.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (client != INVALID_HANDLE_VALUE) CloseHandle(client);
    bridge->copier.join();
    DWORD failure = bridge->failure;
    delete bridge;
    return failure;
}

#else

struct Bridge {
    int readEnd;
    int writeEnd;
    int sink;
    std::thread copier;
    bool failed;
};

namespace {

void Copy(Bridge *bridge)
{
    char *buffer = (char *)malloc(kChunk);
    ssize_t got;
    bridge->failed = !buffer;
    while (buffer && !bridge->failed && (got = read(bridge->readEnd, buffer, kChunk)) != 0) {
        if (got < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (ssize_t done = 0, put; done < got; done += put) {
            put = write(bridge->sink, buffer + done, got - done);
            if (put < 0 && errno == EINTR) {
                put = 0;
            } else if (put <= 0) {
                bridge->failed = true;
                break;
            }
        }
    }
    free(buffer);
    // Closed here, so that a writer still writing fails at once (EPIPE).
    close(bridge->readEnd);
}

}  // namespace

Bridge *BridgeOpen(BridgeSink sink, std::string *path, unsigned long *error)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        *error = ERROR_TOO_MANY_OPEN_FILES;
        return NULL;
    }
    Bridge *bridge = new Bridge();
    bridge->readEnd = ends[0];
    bridge->writeEnd = ends[1];
    bridge->sink = sink;
    bridge->failed = false;
    // Our write end stays open until the call is over, so the copier never
    // sees the end of the pipe before the library has opened it.
    bridge->copier = std::thread(Copy, bridge);
    *path = "/proc/self/fd/" + std::to_string(ends[1]);
    return bridge;
}

unsigned long BridgeClose(Bridge *bridge)
{
    close(bridge->writeEnd);
    bridge->copier.join();
    unsigned long failure = bridge->failed ? ERROR_WRITE_FAULT : 0;
    delete bridge;
    return failure;
}

#endif
