// kernel32: last error, time, file attributes and moves, and the debugger output.
#include <windows.h>
#include <winposix.h>

#include "errors.h"
#include "sharing.h"
#include "system_calls.h"

#include <cerrno>
#include <cstdio>
#include <condition_variable>
#include <fcntl.h>
#include <libgen.h>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The observer is called without any lock held, so that it may write
// debugger output itself or replace the observer. Each call records the
// observer's generation it took; replacing the observer waits until no other
// thread is still inside an older one, so that its context can go afterwards.
std::mutex debugLock;
std::condition_variable debugObserverLeft;
WinPosixDebugObserver debugObserver;
void *debugObserverContext;
unsigned long long debugObserverGeneration;
std::map<unsigned long long, int> debugCallsInObserver;  // generation -> calls inside it
thread_local int debugObserverDepth;                      // this thread's calls inside an observer

// The file named by WINPOSIX_DEBUG_OUTPUT takes one whole line at a time.
std::mutex debugFileLock;

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

// The bits a new file gets, 0666 less the umask. The umask is read from
// /proc rather than set and restored, which would race with other threads
// creating files; 022 where it can't be read.
mode_t NewFileBits()
{
    mode_t mask = 022;
    if (FILE *status = sys.fopen("/proc/self/status", "re")) {
        char line[128];
        unsigned value;
        while (fgets(line, sizeof line, status))
            if (sscanf(line, "Umask: %o", &value) == 1) mask = (mode_t)(value & 0777);
        sys.fclose(status);
    }
    return 0666 & ~mask;
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
    return ThreadLastError();
}

void WINAPI SetLastError(DWORD code)
{
    SetThreadLastError(code);
}

// The kernel's thread id: unique among the threads alive in the system, as
// Windows' thread ids are, and reused once a thread has ended.
DWORD WINAPI GetCurrentThreadId(void)
{
    static thread_local DWORD id = (DWORD)gettid();
    return id;
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
    // Windows reports a link itself, not what it points to: a reparse point,
    // a folder as well when it leads to one. A dangling link is there. A link
    // to a FIFO, socket or device is a device as well, as such a thing is
    // itself (below): opening it to read what it holds could wait for ever.
    struct stat info;
    if (!path || sys.lstat(path, &info) != 0) {
        SetLastError(path ? PathError(path, errno) : ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = 0;
    if (S_ISLNK(info.st_mode)) {
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        struct stat target;
        if (sys.stat(path, &target) == 0 && !S_ISREG(target.st_mode))
            attributes |= S_ISDIR(target.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_DEVICE;
    } else if (S_ISDIR(info.st_mode)) {
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    } else if (!S_ISREG(info.st_mode)) {
        attributes |= FILE_ATTRIBUTE_DEVICE;  // FIFOs, sockets and devices: not files to read or move
    }
    if (!S_ISLNK(info.st_mode) && !(info.st_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

// Moves a file or folder within its file system. With MOVEFILE_REPLACE_EXISTING
// an existing file under `to` is replaced by rename(2), which swaps the name
// over in one step: no moment where `to` names nothing, whatever stops the
// process. Without it an existing `to` is refused (ERROR_ALREADY_EXISTS), as
// Windows does. A file being written through the layer's fopen, the source or
// the file to be replaced, is in use (ERROR_SHARING_VIOLATION). A folder is
// never replaced, nor put in a file's place (ERROR_ACCESS_DENIED), where
// rename(2) would take an empty one. Moving to another file system is refused
// (ERROR_NOT_SAME_DEVICE), even with MOVEFILE_COPY_ALLOWED: a copy would not
// be one step.
//
// With MOVEFILE_REPLACE_EXISTING the name keeps the permission bits
// (rwxrwxrwx) of the file it held, as Windows' ReplaceFile keeps the replaced
// file's attributes: a program replaced by a freshly downloaded file stays
// runnable, and a file that came with no bits at all doesn't take them into
// the name. A name that held no file (nothing, a link) gets the bits a new file
// there gets, 0666 less the umask. Set-user-ID, set-group-ID and sticky bits
// are not carried over: new content is not given the privileges granted to
// the old, as Linux drops them when a file is written. Where the process may
// not change the moving file's bits (not its owner), it moves with its own.
BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags)
{
    const DWORD known = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;
    if (!from || !to || (flags & ~known)) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    struct stat source, target;
    if (sys.lstat(from, &source) != 0) return FailWith(PathError(from, errno), FALSE);
    // A file being written through the layer, on either side, is in use.
    bool replace = flags & MOVEFILE_REPLACE_EXISTING;
    if (FileInUse(from) || (replace && FileInUse(to))) return FailWith(ERROR_SHARING_VIOLATION, FALSE);
    int result;
    if (replace) {
        bool existed = sys.lstat(to, &target) == 0;
        if (existed && (S_ISDIR(target.st_mode) || S_ISDIR(source.st_mode))) return FailWith(ERROR_ACCESS_DENIED, FALSE);
        // The name keeps its permission bits (see above), set on the file
        // before it moves, so that the name never holds it with other bits.
        mode_t bits = existed && S_ISREG(target.st_mode) ? target.st_mode & 0777 : NewFileBits();
        bool changed = S_ISREG(source.st_mode) && (source.st_mode & 07777) != bits && sys.chmod(from, bits) == 0;
        result = sys.rename(from, to);
        if (result != 0 && changed) {
            int saved = errno;
            sys.chmod(from, source.st_mode & 07777);
            errno = saved;
        }
    } else {
        result = RenameNoReplace(from, to);
    }
    if (result != 0) {
        // Past a missing source, a missing folder on the way to `to`.
        int saved = errno;
        DWORD code = saved == EEXIST ? ERROR_ALREADY_EXISTS : PathError(from, saved);
        if (code == ERROR_FILE_NOT_FOUND && sys.access(from, F_OK) == 0) code = PathError(to, saved);
        return FailWith(code, FALSE);
    }
    if (flags & MOVEFILE_WRITE_THROUGH) {
        // The move is on disk once the folder that now holds the name is.
        std::string folder(to);
        int descriptor = sys.open(dirname(&folder[0]), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (descriptor >= 0) {
            fsync(descriptor);
            close(descriptor);
        }
    }
    return TRUE;
}

// A second name for an existing file, on the same file system: no byte is
// copied, and the file stays whole under either name whatever stops the
// process. A name that is taken is refused (ERROR_ALREADY_EXISTS), as is a
// folder (ERROR_ACCESS_DENIED) and another file system (ERROR_NOT_SAME_DEVICE);
// one that keeps no links (FAT) refuses with EPERM, ERROR_ACCESS_DENIED. A
// link is linked itself, not what it leads to, as NTFS links a reparse point.
// A file in use is linked: Windows lets a running program's image be linked.
BOOL WINAPI CreateHardLinkA(LPCSTR name, LPCSTR existing, LPSECURITY_ATTRIBUTES attributes)
{
    if (!name || !existing || attributes) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    // Linux's link(2) links a link itself, as linkat without AT_SYMLINK_FOLLOW does.
    if (sys.link(existing, name) == 0) return TRUE;
    int saved = errno;
    DWORD code = PathError(existing, saved);
    if (code == ERROR_FILE_NOT_FOUND && sys.access(existing, F_OK) == 0) code = PathError(name, saved);
    return FailWith(code, FALSE);
}

// The debugger output goes to the observer of the process, if any, and to the
// file named by WINPOSIX_DEBUG_OUTPUT, if set; otherwise nowhere, as on a
// Windows machine with no debugger attached.
void WINAPI OutputDebugStringA(LPCSTR text)
{
    if (!text) return;
    DWORD saved = GetLastError();
    WinPosixDebugObserver observer;
    void *context;
    unsigned long long generation;
    {
        std::lock_guard<std::mutex> hold(debugLock);
        observer = debugObserver;
        context = debugObserverContext;
        generation = debugObserverGeneration;
        if (observer) debugCallsInObserver[generation]++;
    }
    if (observer) {
        debugObserverDepth++;
        observer(context, text);
        debugObserverDepth--;
        std::lock_guard<std::mutex> hold(debugLock);
        if (--debugCallsInObserver[generation] == 0) debugCallsInObserver.erase(generation);
        debugObserverLeft.notify_all();
    }
    const char *path = DebugOutputPath();
    if (path) {
        std::lock_guard<std::mutex> hold(debugFileLock);
        if (FILE *sink = sys.fopen(path, "a")) {
            fprintf(sink, "%s\n", text);
            sys.fclose(sink);
        }
    }
    SetLastError(saved);
}

void WinPosix_SetDebugObserver(WinPosixDebugObserver observer, void *context)
{
    std::unique_lock<std::mutex> hold(debugLock);
    debugObserver = observer;
    debugObserverContext = context;
    unsigned long long replaced = debugObserverGeneration++;
    // Calls of this thread that are inside an observer (the one calling us,
    // perhaps) can't end before we return: they are not waited for.
    debugObserverLeft.wait(hold, [replaced] {
        int inside = 0;
        for (const auto &calls : debugCallsInObserver)
            if (calls.first <= replaced) inside += calls.second;
        return inside <= debugObserverDepth;
    });
}
