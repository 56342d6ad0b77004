// Opening a URL, following its redirects.
#ifndef LARKSPAN_OPEN_URL_H
#define LARKSPAN_OPEN_URL_H

#include <windows.h>
#include <wininet.h>

#include "report.h"

// The most redirects one download follows; the next one fails it.
const int kMaxRedirects = 10;

// Opens `url` in `session` and follows the server's redirects (301, 302,
// 303, 307 and 308 with a Location) to the response that is not one, at
// most kMaxRedirects of them, never from https to anything else and never
// to a scheme other than http or https. Returns 0 with the final response's
// request handle in *request, or the error of the failure written.
DWORD OpenUrl(Failures *failures, HINTERNET session, const char *url, HINTERNET *request);

#endif
