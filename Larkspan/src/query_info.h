// Reading a response's header text from WinINet into a buffer of our own,
// without trusting the length WinINet hands back. Calls HttpQueryInfoA
// and nothing else; writes no debugger line.
#ifndef LARKSPAN_QUERY_INFO_H
#define LARKSPAN_QUERY_INFO_H

#include <windows.h>
#include <wininet.h>

#include "report.h"

// The text at `level` (a header field, number `index` among its namesakes,
// or the raw header block), null-terminated, in `*text`, a buffer the caller
// frees; its length in `*length`. Returns 0, or the error when there is none
// (ERROR_HTTP_HEADER_NOT_FOUND), it can't be read, there is no memory for it
// (ERROR_NOT_ENOUGH_MEMORY), or WinINet's answer can't be believed
// (ERROR_HTTP_INVALID_SERVER_RESPONSE); `*text` is then null.
DWORD QueryInfoText(HINTERNET request, DWORD level, DWORD index, char **text, DWORD *length);

// The step an error of QueryInfoText is reported under: WinINet's call, or
// the buffer for its answer.
inline Step QueryStep(DWORD error)
{
    return error == ERROR_NOT_ENOUGH_MEMORY ? kStepMemory : kStepQuery;
}

#endif
