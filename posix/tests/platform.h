// Which implementation of the platform a contract test meets: natively the
// POSIX layer; in the Windows builds Windows' own DLLs, which here are Wine's.
// Where Wine is known to answer otherwise than Windows, a test expects Wine's
// answer under Wine only, so that the difference stays written down.
#ifndef POSIX_TESTS_PLATFORM_H
#define POSIX_TESTS_PLATFORM_H

#include <windows.h>

inline bool UnderWine()
{
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

#endif
