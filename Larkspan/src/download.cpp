// The one export: download a URL into a file, block by block, telling the
// caller's window before every read and the debugger about everything.
#include <Larkspan.h>
#include <wininet.h>

#include "open_url.h"
#include "query_info.h"
#include "report.h"
#include "text.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const char kAgent[] = "Larkspan";
const DWORD kBlockSize = 32000;
// The file's stream buffer is one block long: a block then costs the runtime
// one write (writes of whole buffers go straight from the block), where its
// default buffer of a few KiB costs two for every block.
const size_t kStreamBufferSize = kBlockSize;

void ReportProgress(unsigned long long received)
{
    char message[kMessageSize];
    snprintf(message, sizeof message, LARKSPAN_PROGRESS_PREFIX "%llu KBytes", received / 1000);
    OutputDebugStringA(message);
}

// A server's page instead of the file: a block that starts like HTML. The
// test is deliberately narrow (exact case, no leading space); callers treat
// it as a hint, not a verdict.
bool LooksLikeHtml(const char *block, DWORD length)
{
    static const char *const prefixes[] = {"<!DOCTYPE", "<HTM", "<htm"};
    for (const char *prefix : prefixes) {
        size_t prefixLength = strlen(prefix);
        if (length >= prefixLength && memcmp(block, prefix, prefixLength) == 0) return true;
    }
    return false;
}

// Whether WinINet's head can be believed whole: a status line, and on
// Windows at least one field after it.
//
// Wine's WinINet (the one the Windows builds are tested on) takes a reply
// that is not HTTP for HTTP/0.9 and makes up "HTTP/1.0 200 OK" with no
// field, and it ends a head at the end of the connection as it would at the
// empty line, dropping a line cut in the middle: "HTTP/1.1 200 OK" and a
// close, or a reset in the middle of the first field, give the same head as
// a whole reply without fields. Nothing it offers tells them apart, and a
// head without fields has no length either, so the empty body that follows
// would be stored as a whole one. So on Windows a head without fields is
// refused, a rare legal reply with it. The native build's WinINet refuses a
// reply that is not HTTP, or whose head is cut, itself.
bool LooksLikeHttp(const char *headers, DWORD size)
{
    if (size < 5 || memcmp(headers, "HTTP/", 5) != 0) return false;
    const char *end = (const char *)memchr(headers, '\n', size);
    if (!end) return false;
#ifdef _WIN32
    // After the status line, more than the empty line that ends the head.
    size_t rest = size - (size_t)(end + 1 - headers);
    if (rest <= 2) return false;
#endif
    return true;
}

// The label for a header that could not be read: WinINet's call, or the
// buffer for its answer.
const char *QueryLabel(DWORD error)
{
    return error == ERROR_NOT_ENOUGH_MEMORY ? "malloc Error" : "HttpQueryInfo Error";
}

// The headers are read in full, as a check that the response is HTTP; the
// rest of their content is not needed.
bool ReadRawHeaders(Failures *failures, HINTERNET request)
{
    DWORD size = 0;
    char *headers = QueryInfoText(request, HTTP_QUERY_RAW_HEADERS_CRLF, 0, &size);
    if (!headers) {
        ReportFailure(failures, QueryLabel(GetLastError()));
        return false;
    }
    bool http = LooksLikeHttp(headers, size);
    free(headers);
    if (!http) ReportFailureWith(failures, ERROR_HTTP_INVALID_SERVER_RESPONSE, "HttpQueryInfo Error");
    return http;
}

// Only a success status has the resource as its body; anything else would
// store an error page under the caller's file name.
bool CheckStatus(Failures *failures, HINTERNET request)
{
    DWORD status = 0, size = sizeof status;
    if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, NULL)) {
        ReportFailure(failures, "HttpQueryInfo Error");
        return false;
    }
    if (status < 200 || status > 299) {
        char message[kMessageSize];
        wsprintfA(message, "HTTP Status Error: %u", (unsigned)status);
        ReportFailureLine(failures, LARKSPAN_ERROR_HTTP_STATUS | (status & 0xFFFF), message);
        return false;
    }
    return true;
}

// One Content-Length value: digits, as many as the server likes (leading
// zeros included), or a list of the same number repeated ("100, 100"), which
// HTTP allows a sender to make of duplicated fields. A sign, differing
// numbers, a number past what a file can hold, or anything else leave the
// body's end in doubt. Each number found is checked against *length, once
// *seen says there is one.
bool ParseLength(const char *value, bool *seen, unsigned long long *length)
{
    const char *at = value;
    for (;;) {
        at += strspn(at, " \t");
        if (*at == ',') {  // an empty item says nothing
            at++;
            continue;
        }
        if (!*at) return true;
        size_t digits = strspn(at, "0123456789");
        if (digits == 0) return false;
        unsigned long long number = 0;
        for (size_t i = 0; i < digits; i++) {
            unsigned digit = (unsigned)(at[i] - '0');
            if (number > (~0ULL - digit) / 10) return false;
            number = number * 10 + digit;
        }
        if (*seen && number != *length) return false;
        *seen = true;
        *length = number;
        at += digits;
        at += strspn(at, " \t");
        if (*at && *at != ',') return false;
    }
}

// Whether the body comes in a transfer coding, which then frames it. We ask
// for none (no TE header goes out), so HTTP allows a server only "chunked",
// and WinINets differ on anything else: one decodes gzip, another stores
// the raw framing, and with a coding that frames nothing a body cut short
// would pass for whole, its Content-Length set aside. Nor do they agree on
// how chunked may be written: Wine decodes a body only where the first
// Transfer-Encoding field's value, as it hands it back, is the word itself
// (a tab before it, or a comma beside it, and the framing is stored as
// body). So a body is taken as chunked only when there is one field and its
// value is "chunked" alone, in any case; any other Transfer-Encoding fails
// the download.
enum Framing { kNotChunked, kChunked, kFramingRefused };

Framing BodyFraming(Failures *failures, HINTERNET request)
{
    int fields = 0;
    bool chunked = false;
    for (DWORD index = 0;; index++) {
        DWORD length = 0;
        char *value = QueryInfoText(request, HTTP_QUERY_TRANSFER_ENCODING, index, &length);
        if (!value) {
            if (GetLastError() == ERROR_HTTP_HEADER_NOT_FOUND) break;
            ReportFailure(failures, QueryLabel(GetLastError()));
            return kFramingRefused;
        }
        fields++;
        chunked = length == 7 && StartsWithNoCase(value, "chunked");
        free(value);
    }
    if (fields == 0) return kNotChunked;
    if (fields == 1 && chunked) return kChunked;
    ReportFailureWith(failures, ERROR_HTTP_INVALID_SERVER_RESPONSE, "Transfer-Encoding Error");
    return kFramingRefused;
}

enum Announced { kNoLength, kLength, kChunkedBody, kLengthFailed };

// The length the server announced, when it announced one, from every
// Content-Length field there is. A chunked body ends where its framing
// says, whatever a length beside it claims. A length that can't be read,
// or can't be believed, fails the download: without it a body cut short
// could not be told from a whole one.
Announced AnnouncedLength(Failures *failures, HINTERNET request, unsigned long long *length)
{
    switch (BodyFraming(failures, request)) {
    case kChunked: return kChunkedBody;
    case kFramingRefused: return kLengthFailed;
    case kNotChunked: break;
    }
    bool seen = false;
    for (DWORD index = 0;; index++) {
        DWORD size = 0;
        char *value = QueryInfoText(request, HTTP_QUERY_CONTENT_LENGTH, index, &size);
        if (!value) {
            if (GetLastError() == ERROR_HTTP_HEADER_NOT_FOUND) return seen ? kLength : kNoLength;
            ReportFailure(failures, QueryLabel(GetLastError()));
            return kLengthFailed;
        }
        bool believed = ParseLength(value, &seen, length);
        free(value);
        if (!believed) {
            ReportFailureWith(failures, ERROR_HTTP_INVALID_SERVER_RESPONSE, "Content-Length Error");
            return kLengthFailed;
        }
    }
}

// A failed write as the runtime left it. The runtime may have failed a
// write without a system call failing (a disk that took part of a block
// answers a short write, not an error), and then the last error says
// nothing: the runtime's own errno is told instead.
void ReportWriteFailure(Failures *failures, const char *label)
{
    if (GetLastError() == ERROR_SUCCESS) SetLastError(errno == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT);
    ReportFailure(failures, label);
}

// Reads the body to its end into `file` (which may be null: then the bytes
// are only counted). Returns the result code the transfer earns.
int TransferBody(Failures *failures, HINTERNET request, FILE *file, HWND notifyWindow,
                 unsigned long long *received)
{
    int result = LARKSPAN_OK;
    for (;;) {
        char *block = (char *)malloc(kBlockSize);
        if (!block) {
            ReportFailureWith(failures, ERROR_NOT_ENOUGH_MEMORY, "malloc Error");
            return LARKSPAN_FAILED;
        }
        ReportProgress(*received);
        if (notifyWindow) SendMessageA(notifyWindow, LARKSPAN_PROGRESS_MESSAGE, 0, 0);
        DWORD length = 0;
        BOOL read = InternetReadFile(request, block, kBlockSize, &length);
        // A length past the block would have the block read past its end.
        if (read && length > kBlockSize) {
            SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
            read = FALSE;
        }
        if (!read) {
            ReportFailure(failures, "InternetReadFile Error");
            free(block);
            return LARKSPAN_FAILED;
        }
        if (length == 0) {
            free(block);
            return result;
        }
        *received += length;
        if (LooksLikeHtml(block, length)) result = LARKSPAN_HTML;
        SetLastError(ERROR_SUCCESS);
        if (file && fwrite(block, 1, length, file) != length) {
            ReportWriteFailure(failures, "fwrite Error");
            free(block);
            return LARKSPAN_FAILED;
        }
        free(block);
    }
}

// Closes the file, saying whether everything written to it is on disk. A
// runtime may keep a failed write to itself until the stream is closed, and
// some runtimes' fclose then answers success although its own last flush
// failed (Wine's does): so the stream is flushed, and its error state read,
// before it is closed. After a failed transfer, whose failure has been
// reported, the file is only closed.
bool CloseFile(Failures *failures, FILE *file, bool transferred)
{
    if (!transferred) {
        fclose(file);
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    if (fflush(file) != 0 || ferror(file)) {
        ReportWriteFailure(failures, "fflush Error");
        fclose(file);
        return false;
    }
    if (fclose(file) != 0) {
        ReportFailure(failures, "fclose Error");
        return false;
    }
    return true;
}

// From an open request to a closed file: status, headers, file, body.
int Store(Failures *failures, HINTERNET request, const char *localPath, HWND notifyWindow)
{
    if (!ReadRawHeaders(failures, request) || !CheckStatus(failures, request)) return LARKSPAN_FAILED;

    unsigned long long announced = 0;
    Announced length = AnnouncedLength(failures, request, &announced);
    if (length == kLengthFailed) return LARKSPAN_FAILED;

    char *streamBuffer = (char *)malloc(kStreamBufferSize);
    if (!streamBuffer) {
        ReportFailureWith(failures, ERROR_NOT_ENOUGH_MEMORY, "malloc Error");
        return LARKSPAN_FAILED;
    }
    // Binary, so that the body is stored byte for byte on every platform.
    FILE *file = fopen(localPath, "w+b");
    if (!file) {
        ReportFailure(failures, "fopen Error");
        free(streamBuffer);
        return LARKSPAN_FAILED;
    }
    setvbuf(file, streamBuffer, _IOFBF, kStreamBufferSize);
    unsigned long long received = 0;
    int result = TransferBody(failures, request, file, notifyWindow, &received);
    if (!CloseFile(failures, file, result != LARKSPAN_FAILED)) result = LARKSPAN_FAILED;
    free(streamBuffer);
    if (result != LARKSPAN_FAILED && length == kLength && received < announced) {
        // The connection ended early but cleanly: the file is cut short.
        char message[kMessageSize];
        snprintf(message, sizeof message, "Incomplete Body Error: %llu of %llu bytes", received, announced);
        ReportFailureLine(failures, ERROR_INTERNET_CONNECTION_ABORTED, message);
        result = LARKSPAN_FAILED;
    }
    if (result != LARKSPAN_FAILED && length == kLength && received > announced) {
        // More than announced: the platform did not read the length as we
        // did (Wine ignores one of 32 digits or more and reads to the close),
        // so what is stored is not the body the head described.
        ReportFailureWith(failures, ERROR_HTTP_INVALID_SERVER_RESPONSE, "Content-Length Error");
        result = LARKSPAN_FAILED;
    }
#ifdef _WIN32
    // A body without a length that ended before its first byte: Wine's
    // WinINet gives the same for a head cut after some of its fields (see
    // LooksLikeHttp), and for a chunked head cut before its empty line it
    // reads the end of the connection as the last chunk. Nothing shows such
    // a reply whole, so an empty body is believed only with a length.
    if (result != LARKSPAN_FAILED && length != kLength && received == 0) {
        ReportFailureWith(failures, ERROR_HTTP_INVALID_SERVER_RESPONSE, "HttpQueryInfo Error");
        result = LARKSPAN_FAILED;
    }
#endif
    return result;
}

}  // namespace

namespace {

int Download(Failures *failures, const char *url, const char *localPath, HWND notifyWindow)
{
    if (!url || !localPath) {
        ReportFailureWith(failures, ERROR_INVALID_PARAMETER, "Parameter Error");
        return LARKSPAN_FAILED;
    }

    HINTERNET session = InternetOpenA(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    if (!session) {
        ReportFailure(failures, "InternetOpen Error");
        return LARKSPAN_FAILED;
    }

    int result = LARKSPAN_FAILED;
    HINTERNET request = OpenUrl(failures, session, url);
    if (request) {
        result = Store(failures, request, localPath, notifyWindow);
        if (!InternetCloseHandle(request)) ReportFailure(failures, "CloseHandle Error");
    }
    if (!InternetCloseHandle(session)) ReportFailure(failures, "CloseHandle Error");
    return result;
}

}  // namespace

// The door: the thread's last error is set here, once, to what the caller is
// told: the first failure's code after a failure, 0 otherwise (a handle that
// would not close after a stored body changes nothing).
extern "C" int WINAPI Larkspan(const char *url, const char *localPath, HWND notifyWindow, HWND spareWindow)
{
    (void)spareWindow;
    Failures failures = {false, 0};
    int result = Download(&failures, url, localPath, notifyWindow);
    SetLastError(result == LARKSPAN_FAILED ? failures.first : ERROR_SUCCESS);
    return result;
}
