// Text as the layer's functions pass it between Win32's wide strings and the
// byte strings of POSIX and X: through the locale's multibyte encoding.
#ifndef WINPOSIX_TEXT_H
#define WINPOSIX_TEXT_H

#include <string>

// Upper case, character by character: names that Windows compares
// regardless of case (window classes) are compared folded.
std::wstring Fold(const std::wstring &text);

// A null pointer is empty text. Bytes that are not valid in the locale's
// encoding are taken one character each, so no name is lost.
std::wstring Widen(const char *text);

// Text that has no encoding in the locale gives empty text; so does a null pointer.
std::string Narrow(const wchar_t *text);
std::string Narrow(const std::wstring &text);

#endif
