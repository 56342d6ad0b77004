// Setting up one request on a curl easy handle: the URL as it goes out, the
// caller's header lines, the certificate authorities, the proxy and every
// option but the callbacks. Reads the environment; keeps no state.
#ifndef WINPOSIX_HTTP_REQUEST_H
#define WINPOSIX_HTTP_REQUEST_H

#include <windows.h>

#include <curl/curl.h>

#include <cstring>
#include <string>
#include <strings.h>

// What a session gives the requests opened in it.
struct TransferSettings {
    const char *agent;
    DWORD accessType;  // INTERNET_OPEN_TYPE_*
    const char *proxy;
    const char *proxyBypass;
    DWORD connectTimeoutMs;
    DWORD receiveTimeoutMs;  // the longest wait for the next byte
};

inline bool StartsWithNoCase(const char *text, const char *prefix)
{
    return strncasecmp(text, prefix, strlen(prefix)) == 0;
}

// The URL as it goes out: bytes a request's target may not hold escaped.
std::string EscapeRequestUrl(const char *url);

// Sets `easy` up for `url` (http or https, checked by the caller) with the
// caller's extra header lines, which go into `*requestHeaders` (the caller
// frees them after the handle). Redirects are left to the caller. 0, or
// the error the request can't be made with.
DWORD SetUpRequest(CURL *easy, curl_slist **requestHeaders, const char *url, const char *headers,
                   DWORD headersLength, DWORD flags, const TransferSettings &settings);

#endif
