// The layer's ground floor: the calling thread's last error, the failing
// returns that set it, and the tables between the C library's errno values
// and Win32's error codes. Every DLL file of the layer stands on it; it
// uses nothing of the layer but the system-call table (system_calls.h).
// (kernel32's GetLastError and SetLastError are this slot under their Win32
// names.)
#ifndef WINPOSIX_ERRORS_H
#define WINPOSIX_ERRORS_H

#include <windows.h>

#include <cerrno>

DWORD ThreadLastError();
void SetThreadLastError(DWORD error);

// A failing return in one line: sets the last error and gives back `result`.
//     if (!url) return FailWith(ERROR_INVALID_PARAMETER, nullptr);
template <typename Result> Result FailWith(DWORD error, Result result)
{
    SetThreadLastError(error);
    return result;
}

// The same for the runtime's functions, which report through errno as well.
template <typename Result> Result FailRuntimeWith(DWORD error, int errnoValue, Result result)
{
    SetThreadLastError(error);
    errno = errnoValue;
    return result;
}

// The errno value that stands for a Win32 error code, and the reverse.
int ErrnoFromError(DWORD error);
DWORD ErrorFromErrno(int error);
// The same for a failed call on `path`, telling a missing folder on the way
// (ERROR_PATH_NOT_FOUND) from a missing file, as Windows does.
DWORD PathError(const char *path, int error);

#endif
