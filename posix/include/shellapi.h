/* shell32 for POSIX systems (posix/src/shell32.cpp). */
#ifndef WINPOSIX_SHELLAPI_H
#define WINPOSIX_SHELLAPI_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SE_ERR_FNF 2
#define SE_ERR_PNF 3
#define SE_ERR_ACCESSDENIED 5
#define SE_ERR_OOM 8
#define SE_ERR_NOASSOC 31

WINPOSIX_API HINSTANCE WINAPI ShellExecuteW(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                                           LPCWSTR directory, INT showCommand) WINPOSIX_SYMBOL(ShellExecuteW);

#ifdef __cplusplus
}
#endif

#endif
