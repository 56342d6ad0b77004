// Reading a response's header text from WinINet into a buffer of our own,
// without trusting the length WinINet hands back. Calls HttpQueryInfoA
// and nothing else; writes no debugger line.
#ifndef LARKSPAN_QUERY_INFO_H
#define LARKSPAN_QUERY_INFO_H

#include <windows.h>
#include <wininet.h>

// The text at `level` (a header field, number `index` among its namesakes,
// or the raw header block), null-terminated, in a buffer the caller frees;
// its length in `*length`. Null with the last error set when there is none
// (ERROR_HTTP_HEADER_NOT_FOUND), it can't be read, or WinINet's answer
// can't be believed (ERROR_HTTP_INVALID_SERVER_RESPONSE).
char *QueryInfoText(HINTERNET request, DWORD level, DWORD index, DWORD *length);

#endif
