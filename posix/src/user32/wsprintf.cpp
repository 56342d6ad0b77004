// user32's wsprintfA, over the C library's formatting.
#include <windows.h>

#include <cstdarg>
#include <cstdio>

// wsprintfA writes at most 1024 characters, terminating null included.
int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...)
{
    if (!buffer || !format) return 0;
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(buffer, 1024, format, arguments);
    va_end(arguments);
    if (length < 0) {
        buffer[0] = '\0';
        return 0;
    }
    return length < 1024 ? length : 1023;
}
