// The runtime's file functions as the Windows runtime behaves: a failure sets
// both errno and the Win32 last error (msvcrt's calls into kernel32 do that on
// Windows, and callers read GetLastError after them). The programs of this
// project are linked with -Wl,--wrap for each of these on the native build,
// and runtime_wrap.cpp, linked into each of them, sends their calls here; the
// layer itself calls the C library directly.
#include "msvcrt.h"

#include "errors.h"
#include "sharing.h"
#include "system_calls.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool IsFifo(const char *path)
{
    struct stat info;
    return sys.stat(path, &info) == 0 && S_ISFIFO(info.st_mode);
}

// "w" on a regular file that is already empty opens it as it stands, without
// truncating it. Truncating would change nothing, yet ext4 takes a file
// truncated to nothing for one being rewritten in place and starts writing
// all of it back when it is closed, the caller waiting in fclose, for a
// download into a file made beforehand to hold the name (bench/README.md,
// "larkspan-get", has the figure).
// Null when the file is not such (or no longer): fopen then opens it.
FILE *OpenEmptyForWriting(const char *path, const char *mode)
{
    bool update = strcmp(mode, "w+") == 0 || strcmp(mode, "wb+") == 0 || strcmp(mode, "w+b") == 0;
    if (!update && strcmp(mode, "w") != 0 && strcmp(mode, "wb") != 0) return nullptr;
    struct stat info;
    if (sys.stat(path, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size != 0) return nullptr;
    int descriptor = sys.open(path, update ? O_RDWR : O_WRONLY);
    if (descriptor < 0) return nullptr;
    FILE *file = nullptr;
    if (sys.fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0)
        file = sys.fdopen(descriptor, mode);
    if (!file) close(descriptor);
    return file;
}

// Streams that write into a pipe, whose reader may go away. Every write asks
// whether its stream is one; the count spares the usual case, no pipe open,
// the lock.
std::mutex pipeLock;
std::set<FILE *> pipeStreams;
std::atomic<size_t> pipeStreamCount;

// A FIFO (or a pipe named by /dev/stdout) is opened for writing only and
// never waits for a reader. Opened for reading too, as "w+" asks, the process
// would be its own reader: with nobody else reading, the bytes would wait in
// the pipe for nobody, and once it was full the writer would wait for ever.
// With no reader there it fails at once (ENXIO).
FILE *OpenPipeForWriting(const char *path, bool append)
{
    int descriptor = sys.open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC | (append ? O_APPEND : 0));
    if (descriptor < 0) return nullptr;
    // The reader sets the pace from here on.
    sys.fcntl(descriptor, F_SETFL, sys.fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
    FILE *file = sys.fdopen(descriptor, append ? "ab" : "wb");
    if (!file) {
        int saved = errno;
        close(descriptor);
        errno = saved;
        return nullptr;
    }
    std::lock_guard<std::mutex> hold(pipeLock);
    pipeStreams.insert(file);
    pipeStreamCount = pipeStreams.size();
    return file;
}

bool IsPipeStream(FILE *file)
{
    if (pipeStreamCount == 0) return false;
    std::lock_guard<std::mutex> hold(pipeLock);
    return pipeStreams.count(file) != 0;
}

// Writing into a pipe whose reader has gone raises SIGPIPE, which would end
// the calling program; Windows reports a failed write instead. So SIGPIPE is
// held back on this thread around a pipe stream's writes, and one that such
// a write raised is taken off again, leaving the EPIPE failure.
struct SigpipeHold {
    bool held = false;
    bool wasPending = false;
    sigset_t previous;
};

void HoldSigpipe(FILE *file, SigpipeHold *hold)
{
    if (!IsPipeStream(file)) return;
    sigset_t pipeOnly, pending;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    sigpending(&pending);
    hold->wasPending = sigismember(&pending, SIGPIPE);
    hold->held = pthread_sigmask(SIG_BLOCK, &pipeOnly, &hold->previous) == 0;
}

void ReleaseSigpipe(const SigpipeHold &hold)
{
    if (!hold.held) return;
    int saved = errno;
    sigset_t pipeOnly, pending;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    sigpending(&pending);
    if (!hold.wasPending && sigismember(&pending, SIGPIPE)) {
        timespec now = {0, 0};
        sigtimedwait(&pipeOnly, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &hold.previous, nullptr);
    errno = saved;
}

}  // namespace

extern "C" {

FILE *WinPosix_fopen(const char *path, const char *mode)
{
    if (!path || !mode) return FailRuntimeWith(ERROR_INVALID_PARAMETER, EINVAL, nullptr);
    if (!*path) return FailRuntimeWith(ERROR_PATH_NOT_FOUND, ENOENT, nullptr);
    bool pipe = (mode[0] == 'w' || mode[0] == 'a') && IsFifo(path);
    FILE *file = pipe ? OpenPipeForWriting(path, mode[0] == 'a') : OpenEmptyForWriting(path, mode);
    if (!file && !pipe) file = sys.fopen(path, mode);
    // Being written, the file is in use to rename and remove, as on Windows.
    if (file && !pipe && strpbrk(mode, "wa+")) MarkFileInUse(fileno(file));
    if (!file) {
        int saved = errno;
        DWORD code = PathError(path, saved);
        if (pipe && saved == ENXIO) code = ERROR_PIPE_NOT_CONNECTED;
        SetLastError(code);
        errno = saved;
    }
    return file;
}

size_t WinPosix_fwrite(const void *data, size_t size, size_t count, FILE *file)
{
    SigpipeHold hold;
    HoldSigpipe(file, &hold);
    size_t written = sys.fwrite(data, size, count, file);
    ReleaseSigpipe(hold);
    if (written != count) SetLastError(ErrorFromErrno(errno));
    return written;
}

int WinPosix_fflush(FILE *file)
{
    SigpipeHold hold;
    HoldSigpipe(file, &hold);
    int result = sys.fflush(file);
    ReleaseSigpipe(hold);
    if (result != 0) SetLastError(ErrorFromErrno(errno));
    return result;
}

int WinPosix_fclose(FILE *file)
{
    SigpipeHold hold;
    HoldSigpipe(file, &hold);
    {
        std::lock_guard<std::mutex> forget(pipeLock);
        pipeStreams.erase(file);
        pipeStreamCount = pipeStreams.size();
    }
    int result = sys.fclose(file);
    ReleaseSigpipe(hold);
    if (result != 0) SetLastError(ErrorFromErrno(errno));
    return result;
}

int WinPosix_remove(const char *path)
{
    if (FileInUse(path)) return FailRuntimeWith(ERROR_SHARING_VIOLATION, EACCES, -1);
    // Windows' remove deletes files only: a folder is refused, never removed.
    int result = sys.unlink(path);
    if (result != 0) {
        int saved = errno == EISDIR || errno == EPERM ? EACCES : errno;
        SetLastError(PathError(path, saved));
        errno = saved;
    }
    return result;
}

// Windows' rename never replaces an existing file; POSIX's would. Keep the
// Windows contract so that code tested here behaves the same there.
int WinPosix_rename(const char *from, const char *to)
{
    if (!from || !to) return FailRuntimeWith(ERROR_INVALID_PARAMETER, EINVAL, -1);
    if (FileInUse(from)) return FailRuntimeWith(ERROR_SHARING_VIOLATION, EACCES, -1);
    if (RenameNoReplace(from, to) == 0) return 0;
    // A missing source is a missing file; past that, a missing folder on either side.
    int saved = errno;
    DWORD code = PathError(from, saved);
    if (code == ERROR_FILE_NOT_FOUND && sys.access(from, F_OK) == 0) code = PathError(to, saved);
    return FailRuntimeWith(code, saved, -1);
}

void *WinPosix_malloc(size_t size)
{
    return malloc(size);
}

}  // extern "C"
