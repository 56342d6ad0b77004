// Fault injection shared by the layer's functions (rules: see winposix.h).
#ifndef WINPOSIX_FAULTS_H
#define WINPOSIX_FAULTS_H

#include <windows.h>

// Counts one call of `function` with its file or URL argument (may be null)
// and says whether a rule makes it fail; if so, *error holds the code to fail with.
bool WinPosixFaultHit(const char *function, const char *argument, DWORD *error);

// The errno value that stands for a Win32 error code, and the reverse.
int WinPosixErrnoFromError(DWORD error);
DWORD WinPosixErrorFromErrno(int error);
// The same for a failed call on `path`, telling a missing folder on the way
// (ERROR_PATH_NOT_FOUND) from a missing file, as Windows does.
DWORD WinPosixPathError(const char *path, int error);

#endif
