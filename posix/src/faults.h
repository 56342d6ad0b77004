// Fault injection shared by the layer's functions (rules: see winposix.h).
#ifndef WINPOSIX_FAULTS_H
#define WINPOSIX_FAULTS_H

#include <windows.h>

#include <cerrno>

// Counts one call of `function` with its file or URL argument (may be null)
// and says whether a rule makes it fail; if so, *error holds the code to fail with.
// A call on two files (`second`: a move's destination) counts for a rule
// that names either.
bool WinPosixFaultHit(const char *function, const char *argument, DWORD *error, const char *second = nullptr);

// The same as the first line of a layer function: when a rule fails the call,
// the last error is set to the rule's code and the function only returns:
//     if (WinPosixFaulted("InternetOpenA", agent)) return nullptr;
bool WinPosixFaulted(const char *function, const char *argument, const char *second = nullptr);
// For the runtime's functions, which report through errno as well.
bool WinPosixRuntimeFaulted(const char *function, const char *argument);

// A failing return in one line: sets the last error and gives back `result`.
template <typename Result> Result WinPosixFail(DWORD error, Result result)
{
    SetLastError(error);
    return result;
}

// The same for the runtime's functions: the last error and errno.
template <typename Result> Result WinPosixRuntimeFail(DWORD error, int errnoValue, Result result)
{
    SetLastError(error);
    errno = errnoValue;
    return result;
}

// The errno value that stands for a Win32 error code, and the reverse.
int WinPosixErrnoFromError(DWORD error);
DWORD WinPosixErrorFromErrno(int error);
// The same for a failed call on `path`, telling a missing folder on the way
// (ERROR_PATH_NOT_FOUND) from a missing file, as Windows does.
DWORD WinPosixPathError(const char *path, int error);

#endif
