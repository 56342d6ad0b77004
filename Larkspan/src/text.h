// Comparing the ASCII words of HTTP (schemes, codings), whose case does not count.
#ifndef LARKSPAN_TEXT_H
#define LARKSPAN_TEXT_H

#include <ctype.h>

// Whether `text` starts with `prefix` (lower-case), whatever the case of `text`.
inline bool StartsWithNoCase(const char *text, const char *prefix)
{
    for (; *prefix; text++, prefix++)
        if (tolower((unsigned char)*text) != *prefix) return false;
    return true;
}

#endif
