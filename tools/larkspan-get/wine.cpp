// Whether this Windows build runs under Wine (wine.h).
#include "wine.h"

#include <windows.h>

bool UnderWine()
{
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}
