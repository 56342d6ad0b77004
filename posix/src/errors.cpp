// The calling thread's last error, and the tables between errno and
// Win32's codes (errors.h).
#include "errors.h"

#include "system_calls.h"

#include <cstring>
#include <string>
#include <sys/stat.h>

namespace {

thread_local DWORD lastError;

}  // namespace

DWORD ThreadLastError()
{
    return lastError;
}

void SetThreadLastError(DWORD error)
{
    lastError = error;
}

DWORD ErrorFromErrno(int error)
{
    switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES: case EPERM: case EISDIR: return ERROR_ACCESS_DENIED;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EBUSY: case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case EMFILE: case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC: case EDQUOT: return ERROR_DISK_FULL;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case EIO: return ERROR_GEN_FAILURE;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    default: return ERROR_GEN_FAILURE;
    }
}

DWORD PathError(const char *path, int error)
{
    DWORD code = ErrorFromErrno(error);
    const char *slash = path ? strrchr(path, '/') : nullptr;
    if (code != ERROR_FILE_NOT_FOUND || !slash) return code;
    std::string parent(path, slash == path ? 1 : (size_t)(slash - path));
    struct stat info;
    return sys.stat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? code : ERROR_PATH_NOT_FOUND;
}

int ErrnoFromError(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED: case ERROR_SHARING_VIOLATION: case ERROR_LOCK_VIOLATION: return EACCES;
    case ERROR_WRITE_PROTECT: return EROFS;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY: return ENOMEM;
    case ERROR_DISK_FULL: case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_ALREADY_EXISTS: case ERROR_FILE_EXISTS: return EEXIST;
    case ERROR_INVALID_PARAMETER: return EINVAL;
    default: return EIO;
    }
}
