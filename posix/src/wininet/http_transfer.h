// One HTTP request over curl, for WinINet's request handles: an easy handle
// driven by a multi handle of its own, so that each call does exactly as
// much network work as the caller asked for. A redirect is a response like
// any other: the programs follow redirects themselves. Knows nothing of handles or of
// the calls' locks: wininet.cpp runs one call at a time on a transfer. Its
// parts each have one writer: the request's set-up (http_request.h), the
// response head (http_response.h), the body's buffers (http_body.h), the
// stall clock (http_stall.h); curl's codes become WinINet's in http_errors.h.
#ifndef WINPOSIX_HTTP_TRANSFER_H
#define WINPOSIX_HTTP_TRANSFER_H

#include <windows.h>

#include "http_body.h"
#include "http_request.h"
#include "http_response.h"
#include "http_stall.h"

#include <curl/curl.h>

#include <atomic>
#include <string>

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
    bool done = false;  // curl has finished the request in hand

    ResponseHead head;
    BodyBuffer body;
    StallClock stall;
};

// Sets up the request for `url` (http or https, checked by the caller); 0,
// or the error it can't be made with. A transfer that failed to start still
// needs EndTransfer.
DWORD StartTransfer(Transfer *transfer, const char *url, DWORD flags, const TransferSettings &settings);

// Runs the transfer until the final response's headers are in; 0, or the
// failure that ends the opening. A failure met after the headers, in the
// body, is left for the read that reaches it.
DWORD WaitForHeaders(Transfer *transfer);

// InternetReadFile's work: fills `buffer` until it is full or the body ends.
// Bytes that arrived before a failure are delivered, and the failure comes
// with the next read. 0, or the read's error.
DWORD ReadTransfer(Transfer *transfer, void *buffer, DWORD bytesToRead, DWORD *bytesRead);

// The final response's status code.
long TransferStatus(Transfer *transfer);
// The final response's header block.
const std::string &TransferHeaders(const Transfer *transfer);
// The address the response came from: the URL opened, escaped as it went out.
std::string TransferUrl(Transfer *transfer);

// From any thread: the call waiting in curl ends with ERROR_INTERNET_OPERATION_CANCELLED.
void CancelTransfer(Transfer *transfer);

void EndTransfer(Transfer *transfer);

#endif
