// Text between Win32's wide strings and the locale's multibyte strings, and
// folded to upper case (text_convert.h).
#include "text_convert.h"

#include <cstdlib>
#include <cwctype>

std::wstring Fold(const std::wstring &text)
{
    std::wstring folded = text;
    for (wchar_t &c : folded) c = (wchar_t)towupper((wint_t)c);
    return folded;
}

std::wstring Widen(const char *text)
{
    std::wstring wide;
    if (!text) return wide;
    size_t length = mbstowcs(nullptr, text, 0);
    if (length == (size_t)-1) {
        for (const char *c = text; *c; c++) wide += (wchar_t)(unsigned char)*c;
        return wide;
    }
    wide.resize(length);
    mbstowcs(&wide[0], text, length);
    return wide;
}

std::string Narrow(const wchar_t *text)
{
    if (!text) return std::string();
    size_t length = wcstombs(nullptr, text, 0);
    if (length == (size_t)-1) return std::string();
    std::string narrow(length, '\0');
    wcstombs(&narrow[0], text, length);
    return narrow;
}

std::string Narrow(const std::wstring &text)
{
    return Narrow(text.c_str());
}
