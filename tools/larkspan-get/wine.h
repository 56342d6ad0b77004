// Whether the Windows build runs under Wine, where a few answers differ
// from Windows' own (the console, the proxy variables).
#ifndef LARKSPAN_GET_WINE_H
#define LARKSPAN_GET_WINE_H

// True under Wine (its ntdll.dll exports wine_get_version); false on
// Windows and in the native build.
bool UnderWine();

#endif
