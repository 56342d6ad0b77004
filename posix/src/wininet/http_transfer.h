// One HTTP request over curl, for WinINet's request handles: an easy handle
// driven by a multi handle of its own, so that each call does exactly as
// much network work as the caller asked for. Knows nothing of handles or of
// the calls' locks: wininet.cpp runs one call at a time on a transfer.
#ifndef WINPOSIX_HTTP_TRANSFER_H
#define WINPOSIX_HTTP_TRANSFER_H

#include <windows.h>

#include <curl/curl.h>

#include <atomic>
#include <string>
#include <vector>

// What a session gives the requests opened in it.
struct TransferSettings {
    const char *agent;
    DWORD accessType;  // INTERNET_OPEN_TYPE_*
    const char *proxy;
    const char *proxyBypass;
    DWORD connectTimeoutMs;
    DWORD receiveTimeoutMs;  // the longest wait for the next byte
};

struct Transfer {
    // Made by StartTransfer, released by EndTransfer.
    CURL *easy = nullptr;
    CURLM *multi = nullptr;
    curl_slist *requestHeaders = nullptr;

    // Set from any thread (CancelTransfer): a close ends the call waiting in curl.
    std::atomic<bool> cancelled{false};

    // Everything below belongs to the one call in progress and to the curl
    // callbacks it runs.

    // How the transfer failed: the first failure, kept for every later
    // call; 0 while none. The only record of failure there is.
    DWORD failure = 0;

    // The response's head.
    std::string headers;        // the latest response's header block (http_headers.h)
    bool headersFinal = false;  // the response whose body will be read has its headers
    size_t trailerBytes = 0;    // trailer fields after a chunked body, counted, not kept
    bool done = false;          // curl has finished the transfer
    long proxyStatus = 0;       // a proxy's refusal to open a tunnel: the response

    // Redirects, followed here rather than by curl, so that only the statuses
    // WinINet follows are, and INTERNET_FLAG_NO_AUTO_REDIRECT can hand out
    // the redirect itself.
    bool followRedirects = true;
    int redirects = 0;          // followed so far
    std::string redirectTo;     // set when the response just read is to be followed

    // The body on its way to the caller.
    char *target = nullptr;     // the caller's buffer during a read
    size_t targetSpace = 0;
    size_t targetFilled = 0;
    std::vector<char> spill;    // what came beyond the caller's buffer
    size_t spillStart = 0;
    bool paused = false;        // curl holds the rest until the spill is empty
    unsigned long long bodyDelivered = 0;  // body bytes curl has handed over so far

    // The stall clock: how long since the server last sent anything.
    DWORD receiveTimeout = 0;
    bool stallClockRunning = false;
    ULONGLONG lastActivity = 0;
    curl_off_t bytesSeen = 0;   // of the current response, the bodies curl skips included
    bool sawHttps = false;      // a secure request was made: no plain one may follow
};

// Sets up the request for `url` (http or https, checked by the caller) with
// the caller's extra header lines; 0, or the error it can't be made with.
// A transfer that failed to start still needs EndTransfer.
DWORD StartTransfer(Transfer *transfer, const char *url, const char *headers, DWORD headersLength, DWORD flags,
                    const TransferSettings &settings);

// Runs the transfer until the final response's headers are in; 0, or the
// failure that ends the opening. A failure met after the headers, in the
// body, is left for the read that reaches it.
DWORD WaitForHeaders(Transfer *transfer);

// InternetReadFile's work: fills `buffer` until it is full or the body ends.
// Bytes that arrived before a failure are delivered, and the failure comes
// with the next read.
BOOL ReadTransfer(Transfer *transfer, void *buffer, DWORD bytesToRead, DWORD *bytesRead);

// The final response's status code.
long TransferStatus(Transfer *transfer);
// The address the final response came from, redirects followed.
std::string TransferUrl(Transfer *transfer);

// From any thread: the call waiting in curl ends with ERROR_INTERNET_OPERATION_CANCELLED.
void CancelTransfer(Transfer *transfer);

void EndTransfer(Transfer *transfer);

#endif
