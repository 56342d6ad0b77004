#include "stdout_bridge.h"

#include <windows.h>

#include <stdio.h>

#include <thread>

#ifndef _WIN32
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {
const size_t kChunk = 64 * 1024;
}

#ifdef _WIN32

struct StdoutBridge {
    HANDLE pipe;
    std::string name;
    std::thread copier;
    bool failed;
};

namespace {

void Copy(StdoutBridge *bridge)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (ConnectNamedPipe(bridge->pipe, NULL) || GetLastError() == ERROR_PIPE_CONNECTED) {
        static char buffer[kChunk];
        DWORD got;
        while (ReadFile(bridge->pipe, buffer, sizeof buffer, &got, NULL) && got > 0) {
            for (DWORD done = 0, put; done < got; done += put) {
                if (!WriteFile(out, buffer + done, got - done, &put, NULL) || put == 0) {
                    bridge->failed = true;
                    break;
                }
            }
            if (bridge->failed) break;
        }
    }
    // Closed here, so that a writer still writing fails at once.
    CloseHandle(bridge->pipe);
    bridge->pipe = INVALID_HANDLE_VALUE;
}

}  // namespace

StdoutBridge *StdoutBridgeOpen(std::string *path, unsigned long *error)
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
    StdoutBridge *bridge = new StdoutBridge();
    bridge->pipe = pipe;
    bridge->name = name;
    bridge->copier = std::thread(Copy, bridge);
    *path = name;
    return bridge;
}

bool StdoutBridgeClose(StdoutBridge *bridge)
{
    // A library that failed before it opened its file never connected: the
    // copier still waits in ConnectNamedPipe. Connecting and leaving ends
    // that wait; where the library did connect, the one instance is taken
    // and this open fails, harmlessly.
    HANDLE client = CreateFileA(bridge->name.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (client != INVALID_HANDLE_VALUE) CloseHandle(client);
    bridge->copier.join();
    bool whole = !bridge->failed;
    delete bridge;
    return whole;
}

#else

struct StdoutBridge {
    int readEnd;
    int writeEnd;
    std::thread copier;
    bool failed;
};

namespace {

void Copy(StdoutBridge *bridge)
{
    static char buffer[kChunk];
    ssize_t got;
    while ((got = read(bridge->readEnd, buffer, sizeof buffer)) != 0) {
        if (got < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (ssize_t done = 0, put; done < got; done += put) {
            put = write(STDOUT_FILENO, buffer + done, got - done);
            if (put < 0 && errno == EINTR) {
                put = 0;
            } else if (put <= 0) {
                bridge->failed = true;
                break;
            }
        }
        if (bridge->failed) break;
    }
    // Closed here, so that a writer still writing fails at once (EPIPE).
    close(bridge->readEnd);
}

}  // namespace

StdoutBridge *StdoutBridgeOpen(std::string *path, unsigned long *error)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        *error = ERROR_TOO_MANY_OPEN_FILES;
        return NULL;
    }
    StdoutBridge *bridge = new StdoutBridge();
    bridge->readEnd = ends[0];
    bridge->writeEnd = ends[1];
    // Our write end stays open until the call is over, so the copier never
    // sees the end of the pipe before the library has opened it.
    bridge->copier = std::thread(Copy, bridge);
    *path = "/proc/self/fd/" + std::to_string(ends[1]);
    return bridge;
}

bool StdoutBridgeClose(StdoutBridge *bridge)
{
    close(bridge->writeEnd);
    bridge->copier.join();
    bool whole = !bridge->failed;
    delete bridge;
    return whole;
}

#endif
