// The runtime's file functions as the Windows runtime behaves: a failure sets
// both errno and the Win32 last error (msvcrt's calls into kernel32 do that on
// Windows, and callers read GetLastError after them). The programs of this
// project are linked with -Wl,--wrap for each of these on the native build, so
// that their calls come here; the layer itself calls the C library directly.
#include <windows.h>

#include "faults.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {

WINPOSIX_API FILE *__wrap_fopen(const char *path, const char *mode)
{
    DWORD error;
    if (WinPosixFaultHit("fopen", path, &error)) {
        SetLastError(error);
        errno = WinPosixErrnoFromError(error);
        return nullptr;
    }
    if (!path || !mode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        errno = EINVAL;
        return nullptr;
    }
    if (!*path) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        errno = ENOENT;
        return nullptr;
    }
    FILE *file = fopen(path, mode);
    if (!file) {
        int saved = errno;
        SetLastError(WinPosixPathError(path, saved));
        errno = saved;
    }
    return file;
}

WINPOSIX_API size_t __wrap_fwrite(const void *data, size_t size, size_t count, FILE *file)
{
    DWORD error;
    if (WinPosixFaultHit("fwrite", nullptr, &error)) {
        SetLastError(error);
        errno = WinPosixErrnoFromError(error);
        return 0;
    }
    size_t written = fwrite(data, size, count, file);
    if (written != count) SetLastError(WinPosixErrorFromErrno(errno));
    return written;
}

WINPOSIX_API int __wrap_fflush(FILE *file)
{
    DWORD error;
    if (WinPosixFaultHit("fflush", nullptr, &error)) {
        SetLastError(error);
        errno = WinPosixErrnoFromError(error);
        return EOF;
    }
    int result = fflush(file);
    if (result != 0) SetLastError(WinPosixErrorFromErrno(errno));
    return result;
}

WINPOSIX_API int __wrap_fclose(FILE *file)
{
    DWORD error;
    if (WinPosixFaultHit("fclose", nullptr, &error)) {
        // The stream is gone all the same, as after any failed fclose.
        fclose(file);
        SetLastError(error);
        errno = WinPosixErrnoFromError(error);
        return EOF;
    }
    int result = fclose(file);
    if (result != 0) SetLastError(WinPosixErrorFromErrno(errno));
    return result;
}

WINPOSIX_API int __wrap_remove(const char *path)
{
    DWORD error;
    if (WinPosixFaultHit("remove", path, &error)) {
        SetLastError(error);
        errno = WinPosixErrnoFromError(error);
        return -1;
    }
    // Windows' remove deletes files only: a folder is refused, never removed.
    int result = unlink(path);
    if (result != 0) {
        int saved = errno == EISDIR || errno == EPERM ? EACCES : errno;
        SetLastError(WinPosixPathError(path, saved));
        errno = saved;
    }
    return result;
}

// Windows' rename never replaces an existing file; POSIX's would. Keep the
// Windows contract so that code tested here behaves the same there.
WINPOSIX_API int __wrap_rename(const char *from, const char *to)
{
    DWORD error;
    if (WinPosixFaultHit("rename", from, &error)) {
        SetLastError(error);
        errno = WinPosixErrnoFromError(error);
        return -1;
    }
    if (!from || !to) {
        SetLastError(ERROR_INVALID_PARAMETER);
        errno = EINVAL;
        return -1;
    }
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno == EINVAL || errno == ENOSYS) {
        // A file system without RENAME_NOREPLACE: link and unlink keep the rule.
        if (link(from, to) == 0) {
            unlink(from);
            return 0;
        }
    }
    // A missing source is a missing file; past that, a missing folder on either side.
    int saved = errno;
    DWORD code = WinPosixPathError(from, saved);
    if (code == ERROR_FILE_NOT_FOUND && access(from, F_OK) == 0) code = WinPosixPathError(to, saved);
    SetLastError(code);
    errno = saved;
    return -1;
}

WINPOSIX_API void *__wrap_malloc(size_t size)
{
    DWORD error;
    if (WinPosixFaultHit("malloc", nullptr, &error)) {
        SetLastError(error);
        errno = ENOMEM;
        return nullptr;
    }
    return malloc(size);
}

}  // extern "C"
