// Linked into each program and library of this project that is built with
// -Wl,--wrap for the runtime's file functions (winposix_runtime): the linker
// turns their calls of fopen into calls of __wrap_fopen, which go on to the
// layer's (msvcrt.h). Hidden inside the module it is linked into, so that no
// module exports a __wrap_ name for another's calls to bind to.
#include "msvcrt.h"

extern "C" {

FILE *__wrap_fopen(const char *path, const char *mode) { return WinPosix_fopen(path, mode); }
size_t __wrap_fwrite(const void *data, size_t size, size_t count, FILE *file)
{
    return WinPosix_fwrite(data, size, count, file);
}
int __wrap_fflush(FILE *file) { return WinPosix_fflush(file); }
int __wrap_fclose(FILE *file) { return WinPosix_fclose(file); }
int __wrap_remove(const char *path) { return WinPosix_remove(path); }
int __wrap_rename(const char *from, const char *to) { return WinPosix_rename(from, to); }
void *__wrap_malloc(size_t size) { return WinPosix_malloc(size); }

}  // extern "C"
