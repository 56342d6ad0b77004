// Header text from HttpQueryInfoA, read into a buffer whose size we chose
// and checked against it.
//
// Asking with no buffer says how much to take, but not always in bytes: Wine
// keeps headers as UTF-16 and reports their length in UTF-16 units, then
// hands back the text in the ANSI code page, where a unit past ASCII can take
// up to three bytes (UTF-8). A buffer of the reported size is then too small,
// and Wine still answers success, with a length of (DWORD)-1 and the text cut
// off unterminated. So the buffer is three times the reported size, which
// holds the text in any code page, and a length that does not fit in it is
// refused rather than used.
#include "query_info.h"

#include <stdlib.h>

namespace {

// No header block we accept is near this (the layer refuses one past
// 256 KiB); a size above it is an answer not to allocate for.
const DWORD kMaxReported = 16 * 1024 * 1024;
const DWORD kBytesPerUnit = 3;

}  // namespace

DWORD QueryInfoText(HINTERNET request, DWORD level, DWORD index, char **text, DWORD *length)
{
    *text = NULL;
    DWORD reported = 0, probe = index;
    // Asking with no buffer fails by design with the size to take; success
    // means there is nothing to take.
    if (HttpQueryInfoA(request, level, NULL, &reported, &probe)) reported = 1;
    else if (DWORD error = GetLastError(); error != ERROR_INSUFFICIENT_BUFFER) return error;
    if (reported == 0 || reported > kMaxReported) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    DWORD capacity = reported * kBytesPerUnit + 1;
    char *value = (char *)malloc(capacity);
    if (!value) return ERROR_NOT_ENOUGH_MEMORY;
    DWORD size = capacity;
    if (!HttpQueryInfoA(request, level, value, &size, &index)) {
        DWORD error = GetLastError();
        free(value);
        return error;
    }
    // The text and its terminator within what we gave, or the answer is not
    // one to read.
    if (size >= capacity) {
        free(value);
        return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    }
    value[size] = 0;
    *text = value;
    *length = size;
    return 0;
}
