// The runtime's file functions with Windows' behaviour (msvcrt.cpp), under
// the layer's own names. Not for callers: a module built with -Wl,--wrap for
// the runtime's names reaches them through runtime_wrap.cpp, linked into it.
#ifndef WINPOSIX_MSVCRT_H
#define WINPOSIX_MSVCRT_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

WINPOSIX_API FILE *WinPosix_fopen(const char *path, const char *mode);
WINPOSIX_API size_t WinPosix_fwrite(const void *data, size_t size, size_t count, FILE *file);
WINPOSIX_API int WinPosix_fflush(FILE *file);
WINPOSIX_API int WinPosix_fclose(FILE *file);
WINPOSIX_API int WinPosix_remove(const char *path);
WINPOSIX_API int WinPosix_rename(const char *from, const char *to);
WINPOSIX_API void *WinPosix_malloc(size_t size);

#ifdef __cplusplus
}
#endif

#endif
