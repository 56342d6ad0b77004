// The layer's functions, caught on their way in: each asks the fault rules
// (fault_rules.h) first and fails as the rule says, or goes on to the layer's
// own. A program linked with this object defines the layer's exported names
// itself; its own calls bind to these, and so do those of the libraries it
// loads (the download library), as long as the program exports them
// (--export-dynamic-symbol, tests/CMakeLists.txt). The layer is reached with
// dlsym(RTLD_NEXT): the next definition in load order, libwinposix's.
//
// A failed call sets the last error as the layer's own failures do, and the
// runtime's functions errno too. A close still closes: a caller has nothing
// better to do with the handle than close it again.
#include "fault_rules.h"

#include <shellapi.h>
#include <wininet.h>
#include <windows.h>

#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" {
// The runtime's functions as the layer exports them (posix/src/msvcrt.h),
// reached by the modules' wrapped calls of fopen and the rest.
FILE *WinPosix_fopen(const char *path, const char *mode);
size_t WinPosix_fwrite(const void *data, size_t size, size_t count, FILE *file);
int WinPosix_fflush(FILE *file);
int WinPosix_fclose(FILE *file);
int WinPosix_remove(const char *path);
int WinPosix_rename(const char *from, const char *to);
void *WinPosix_malloc(size_t size);
}

namespace {

// The layer's definition of `name`, found once.
template <typename Function> Function Next(const char *name)
{
    void *found = dlsym(RTLD_NEXT, name);
    if (!found) {
        fprintf(stderr, "fault points: the layer has no %s\n", name);
        abort();
    }
    return (Function)found;
}

#define NEXT(function, name) static const auto next = Next<decltype(&function)>(name)

// errno for a Win32 code a rule gives a runtime function.
int ErrnoFor(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED: case ERROR_SHARING_VIOLATION: case ERROR_LOCK_VIOLATION: return EACCES;
    case ERROR_NOT_ENOUGH_MEMORY: return ENOMEM;
    case ERROR_DISK_FULL: return ENOSPC;
    case ERROR_WRITE_PROTECT: return EROFS;
    case ERROR_INVALID_PARAMETER: return EINVAL;
    default: return EIO;
    }
}

bool Hit(const char *function, const char *argument, DWORD *error, const char *second = nullptr)
{
    return FaultRuleHit(function, argument, error, second);
}

// For a runtime function: the last error and errno, as the layer sets them.
bool RuntimeHit(const char *function, const char *argument)
{
    DWORD error;
    if (!Hit(function, argument, &error)) return false;
    SetLastError(error);
    errno = ErrnoFor(error);
    return true;
}

bool Win32Hit(const char *function, const char *argument, const char *second = nullptr)
{
    DWORD error;
    if (!Hit(function, argument, &error, second)) return false;
    SetLastError(error);
    return true;
}

std::string Narrow(const wchar_t *text)
{
    std::string narrow;
    for (; text && *text; text++) narrow += (char)*text;
    return narrow;
}

}  // namespace

extern "C" {

FILE *WinPosix_fopen(const char *path, const char *mode)
{
    NEXT(WinPosix_fopen, "WinPosix_fopen");
    return RuntimeHit("fopen", path) ? nullptr : next(path, mode);
}

size_t WinPosix_fwrite(const void *data, size_t size, size_t count, FILE *file)
{
    NEXT(WinPosix_fwrite, "WinPosix_fwrite");
    return RuntimeHit("fwrite", nullptr) ? 0 : next(data, size, count, file);
}

int WinPosix_fflush(FILE *file)
{
    NEXT(WinPosix_fflush, "WinPosix_fflush");
    return RuntimeHit("fflush", nullptr) ? EOF : next(file);
}

int WinPosix_fclose(FILE *file)
{
    NEXT(WinPosix_fclose, "WinPosix_fclose");
    DWORD error;
    bool fail = Hit("fclose", nullptr, &error);
    int result = next(file);
    if (!fail) return result;
    SetLastError(error);
    errno = ErrnoFor(error);
    return EOF;
}

int WinPosix_remove(const char *path)
{
    NEXT(WinPosix_remove, "WinPosix_remove");
    return RuntimeHit("remove", path) ? -1 : next(path);
}

int WinPosix_rename(const char *from, const char *to)
{
    NEXT(WinPosix_rename, "WinPosix_rename");
    return RuntimeHit("rename", from) ? -1 : next(from, to);
}

void *WinPosix_malloc(size_t size)
{
    NEXT(WinPosix_malloc, "WinPosix_malloc");
    if (InsideFaultRules()) return next(size);
    // Whatever error the rule gives, malloc's errno is ENOMEM, as the
    // runtime's is for any allocation that fails.
    if (RuntimeHit("malloc", nullptr)) {
        errno = ENOMEM;
        return nullptr;
    }
    return next(size);
}

}  // extern "C"

// The Win32 functions, under the names the layer's headers give them.

HINTERNET WINAPI InternetOpenA(LPCSTR agent, DWORD accessType, LPCSTR proxy, LPCSTR bypass, DWORD flags)
{
    NEXT(InternetOpenA, "WinPosix_InternetOpenA");
    return Win32Hit("InternetOpenA", agent) ? nullptr : next(agent, accessType, proxy, bypass, flags);
}

HINTERNET WINAPI InternetOpenUrlA(HINTERNET session, LPCSTR url, LPCSTR headers, DWORD headersLength, DWORD flags,
                                  DWORD_PTR context)
{
    NEXT(InternetOpenUrlA, "WinPosix_InternetOpenUrlA");
    return Win32Hit("InternetOpenUrlA", url) ? nullptr : next(session, url, headers, headersLength, flags, context);
}

BOOL WINAPI HttpQueryInfoA(HINTERNET request, DWORD level, LPVOID buffer, LPDWORD length, LPDWORD index)
{
    NEXT(HttpQueryInfoA, "WinPosix_HttpQueryInfoA");
    return Win32Hit("HttpQueryInfoA", nullptr) ? FALSE : next(request, level, buffer, length, index);
}

BOOL WINAPI InternetQueryOptionA(HINTERNET handle, DWORD option, LPVOID buffer, LPDWORD length)
{
    NEXT(InternetQueryOptionA, "WinPosix_InternetQueryOptionA");
    return Win32Hit("InternetQueryOptionA", nullptr) ? FALSE : next(handle, option, buffer, length);
}

BOOL WINAPI InternetCombineUrlA(LPCSTR base, LPCSTR relative, LPSTR buffer, LPDWORD length, DWORD flags)
{
    NEXT(InternetCombineUrlA, "WinPosix_InternetCombineUrlA");
    return Win32Hit("InternetCombineUrlA", relative) ? FALSE : next(base, relative, buffer, length, flags);
}

BOOL WINAPI InternetReadFile(HINTERNET request, LPVOID buffer, DWORD toRead, LPDWORD read)
{
    NEXT(InternetReadFile, "WinPosix_InternetReadFile");
    return Win32Hit("InternetReadFile", nullptr) ? FALSE : next(request, buffer, toRead, read);
}

BOOL WINAPI InternetCloseHandle(HINTERNET handle)
{
    NEXT(InternetCloseHandle, "WinPosix_InternetCloseHandle");
    DWORD error;
    bool fail = Hit("InternetCloseHandle", nullptr, &error);
    BOOL closed = next(handle);
    if (!fail) return closed;
    SetLastError(error);
    return FALSE;
}

HWND WINAPI FindWindowW(LPCWSTR className, LPCWSTR windowName)
{
    NEXT(FindWindowW, "WinPosix_FindWindowW");
    return Win32Hit("FindWindowW", Narrow(className).c_str()) ? nullptr : next(className, windowName);
}

HINSTANCE WINAPI ShellExecuteW(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR directory,
                               INT show)
{
    NEXT(ShellExecuteW, "WinPosix_ShellExecuteW");
    DWORD error;
    if (Hit("ShellExecuteW", Narrow(file).c_str(), &error)) {
        // As the shell answers: the code itself, a number of 32 or less.
        SetLastError(error);
        return (HINSTANCE)(uintptr_t)error;
    }
    return next(owner, verb, file, parameters, directory, show);
}

DWORD WINAPI GetFileAttributesA(LPCSTR path)
{
    NEXT(GetFileAttributesA, "WinPosix_GetFileAttributesA");
    return Win32Hit("GetFileAttributesA", path) ? INVALID_FILE_ATTRIBUTES : next(path);
}

BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags)
{
    NEXT(MoveFileExA, "WinPosix_MoveFileExA");
    return Win32Hit("MoveFileExA", from, to) ? FALSE : next(from, to, flags);
}

BOOL WINAPI CreateHardLinkA(LPCSTR name, LPCSTR existing, LPSECURITY_ATTRIBUTES attributes)
{
    NEXT(CreateHardLinkA, "WinPosix_CreateHardLinkA");
    return Win32Hit("CreateHardLinkA", existing, name) ? FALSE : next(name, existing, attributes);
}
