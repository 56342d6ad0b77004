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

char *QueryInfoText(HINTERNET request, DWORD level, DWORD index, DWORD *length)
{
    DWORD reported = 0, probe = index;
    // Asking with no buffer fails by design with the size to take; success
    // means there is nothing to take.
    if (HttpQueryInfoA(request, level, NULL, &reported, &probe)) reported = 1;
    else if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return NULL;
    if (reported == 0 || reported > kMaxReported) {
        SetLastError(ERROR_HTTP_INVALID_SERVER_RESPONSE);
        return NULL;
    }
    DWORD capacity = reported * kBytesPerUnit + 1;
    char *text = (char *)malloc(capacity);
    if (!text) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    DWORD size = capacity;
    if (!HttpQueryInfoA(request, level, text, &size, &index)) {
        DWORD error = GetLastError();
        free(text);
        SetLastError(error);
        return NULL;
    }
    // The text and its terminator within what we gave, or the answer is not
    // one to read.
    if (size >= capacity) {
        free(text);
        SetLastError(ERROR_HTTP_INVALID_SERVER_RESPONSE);
        return NULL;
    }
    text[size] = 0;
    *length = size;
    return text;
}
