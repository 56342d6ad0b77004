// kernel32: last error, time, and the debugger output.
#include <windows.h>
#include <winposix.h>

#include "faults.h"

#include <cerrno>
#include <ctime>
#include <mutex>
#include <string>
#include <sys/stat.h>

namespace {

thread_local DWORD lastError;

std::mutex debugLock;
WinPosixDebugObserver debugObserver;
void *debugObserverContext;

// WINPOSIX_DEBUG_OUTPUT, read once: the library writes a line for every
// block, and with nobody watching that should cost no more than formatting it.
// Kept as a copy, since the environment's own string may change under us.
const char *DebugOutputPath()
{
    static const std::string path = [] {
        const char *value = getenv("WINPOSIX_DEBUG_OUTPUT");
        return std::string(value ? value : "");
    }();
    return path.empty() ? nullptr : path.c_str();
}

ULONGLONG MonotonicMilliseconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (ULONGLONG)now.tv_sec * 1000 + (ULONGLONG)now.tv_nsec / 1000000;
}

}  // namespace

DWORD WINAPI GetLastError(void)
{
    return lastError;
}

void WINAPI SetLastError(DWORD code)
{
    lastError = code;
}

void WINAPI Sleep(DWORD milliseconds)
{
    timespec wait = {(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

DWORD WINAPI GetTickCount(void)
{
    return (DWORD)MonotonicMilliseconds();
}

ULONGLONG WINAPI GetTickCount64(void)
{
    return MonotonicMilliseconds();
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR)
{
    // One module per process is all the layer's callers ask for.
    static char module;
    return (HMODULE)&module;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR)
{
    return GetModuleHandleW(nullptr);
}

DWORD WINAPI GetFileAttributesA(LPCSTR path)
{
    DWORD error;
    if (WinPosixFaultHit("GetFileAttributesA", path, &error)) {
        SetLastError(error);
        return INVALID_FILE_ATTRIBUTES;
    }
    struct stat info;
    if (!path || stat(path, &info) != 0) {
        SetLastError(path ? WinPosixPathError(path, errno) : ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = 0;
    if (S_ISDIR(info.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (!(info.st_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

// The debugger output goes to the observer of the process, if any, and to the
// file named by WINPOSIX_DEBUG_OUTPUT, if set; otherwise nowhere, as on a
// Windows machine with no debugger attached.
void WINAPI OutputDebugStringA(LPCSTR text)
{
    if (!text) return;
    DWORD saved = GetLastError();
    std::lock_guard<std::mutex> hold(debugLock);
    if (debugObserver) debugObserver(debugObserverContext, text);
    const char *path = DebugOutputPath();
    if (path) {
        if (FILE *sink = fopen(path, "a")) {
            fprintf(sink, "%s\n", text);
            fclose(sink);
        }
    }
    SetLastError(saved);
}

void WinPosix_SetDebugObserver(WinPosixDebugObserver observer, void *context)
{
    std::lock_guard<std::mutex> hold(debugLock);
    debugObserver = observer;
    debugObserverContext = context;
}
