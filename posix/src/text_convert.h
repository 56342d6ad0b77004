// Text as the layer's functions pass and compare it: between Win32's wide
// strings and the byte strings of POSIX and X, through the locale's
// multibyte encoding, and folded for names compared regardless of case
// (window classes, URL schemes, HTTP words). A floor file: uses nothing of
// the layer.
#ifndef WINPOSIX_TEXT_CONVERT_H
#define WINPOSIX_TEXT_CONVERT_H

#include <cstring>
#include <string>
#include <strings.h>

// Upper case, character by character: names that Windows compares
// regardless of case (window classes) are compared folded.
std::wstring Fold(const std::wstring &text);

// A null pointer is empty text. Bytes that are not valid in the locale's
// encoding are taken one character each, so no name is lost.
std::wstring Widen(const char *text);

// Text that has no encoding in the locale gives empty text; so does a null pointer.
std::string Narrow(const wchar_t *text);
std::string Narrow(const std::wstring &text);

// Whether `text` starts with `prefix`, ASCII letters compared regardless of case.
inline bool HasPrefixNoCase(const char *text, const char *prefix)
{
    return strncasecmp(text, prefix, strlen(prefix)) == 0;
}

#endif
