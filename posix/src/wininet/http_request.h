// Setting up one request on a curl easy handle: the URL as it goes out, the
// header lines a reload adds, the certificate authorities, the proxy and
// every option but the callbacks. Reads the environment; keeps no state.
#ifndef WINPOSIX_HTTP_REQUEST_H
#define WINPOSIX_HTTP_REQUEST_H

#include <windows.h>

#include <curl/curl.h>

// What a session gives the requests opened in it.
struct TransferSettings {
    const char *agent;
    DWORD accessType;  // INTERNET_OPEN_TYPE_*
    const char *proxy;
    const char *proxyBypass;
    DWORD connectTimeoutMs;
    DWORD receiveTimeoutMs;  // the longest wait for the next byte
};

// Sets `easy` up for `url` (http or https, checked by the caller); the
// header lines INTERNET_FLAG_RELOAD adds go into `*requestHeaders` (the
// caller frees them after the handle). Redirects are not followed. 0, or
// the error the request can't be made with.
DWORD SetUpRequest(CURL *easy, curl_slist **requestHeaders, const char *url, DWORD flags,
                   const TransferSettings &settings);

#endif
