// curl's result codes as WinINet's error numbers: a table, no state.
#ifndef WINPOSIX_HTTP_ERRORS_H
#define WINPOSIX_HTTP_ERRORS_H

#include <windows.h>

#include <curl/curl.h>

// The WinINet error for a transfer curl ended with `code`. `headersFinal`
// says whether the final response's head was in when it did, `headSeen`
// whether any response line was (an informational response's too);
// `osError` is the socket's errno (CURLINFO_OS_ERRNO).
DWORD ErrorFromCurl(CURLcode code, bool headersFinal, bool headSeen, long osError);

#endif
