// The one export: download a URL into a file, block by block, telling the
// caller's window before every read and the debugger about everything.
#include <Larkspan.h>
#include <wininet.h>

#include "open_url.h"
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

// A real HTTP response has a status line. WinINet takes anything else for
// HTTP/0.9 and makes up "HTTP/1.0 200 OK" with no field for it, which is
// garbage, not a body to store; nothing it offers tells that head from the
// same one really sent, so on Windows that one head is refused. Any other
// head without fields (another version, status or reason) is real, as HTTP
// allows. The native build's WinINet refuses a reply that is not HTTP
// itself and never makes up a head.
bool LooksLikeHttp(const char *headers, DWORD size)
{
    if (size < 5 || memcmp(headers, "HTTP/", 5) != 0) return false;
#ifdef _WIN32
    static const char kMadeUp[] = "HTTP/1.0 200 OK\r\n\r\n";
    if (size >= sizeof kMadeUp - 1 && memcmp(headers, kMadeUp, sizeof kMadeUp - 1) == 0) return false;
#endif
    return memchr(headers, '\n', size) != NULL;
}

// The headers are read in full, as a check that the response is HTTP; the
// rest of their content is not needed.
bool ReadRawHeaders(Failures *failures, HINTERNET request)
{
    DWORD size = 0;
    // Asking with no buffer fails by design and says how much to take; any
    // other failure is the headers' real trouble, reported as it is.
    if (!HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS_CRLF, NULL, &size, NULL) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        ReportFailure(failures, "HttpQueryInfo Error");
        return false;
    }
    char *headers = (char *)malloc(size ? size : 1);
    if (!headers) {
        ReportFailureWith(failures, ERROR_NOT_ENOUGH_MEMORY, "malloc Error");
        return false;
    }
    BOOL read = HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS_CRLF, headers, &size, NULL);
    if (read && !LooksLikeHttp(headers, size)) {
        // Wine's WinINet answers a connection closed before the end of a
        // first line with a head of line ends alone: the server sent no
        // reply, which the native layer reports in the same code.
        bool nothing = true;
        for (DWORD at = 0; at < size; at++) nothing = nothing && (headers[at] == '\r' || headers[at] == '\n');
        SetLastError(nothing ? ERROR_HTTP_DOWNLEVEL_SERVER : ERROR_HTTP_INVALID_SERVER_RESPONSE);
        read = FALSE;
    }
    if (!read) ReportFailure(failures, "HttpQueryInfo Error");
    free(headers);
    return read != FALSE;
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

// The value of the header field `level`, number `index` among its
// namesakes, in a buffer of the size it needs; null with the last error set
// when there is none or it can't be read. The caller frees it.
char *QueryHeader(HINTERNET request, DWORD level, DWORD index)
{
    DWORD size = 0, probe = index;
    if (HttpQueryInfoA(request, level, NULL, &size, &probe)) size = 1;
    else if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return NULL;
    char *value = (char *)malloc(size + 1);
    if (!value) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    if (!HttpQueryInfoA(request, level, value, &size, &index)) {
        DWORD error = GetLastError();
        free(value);
        SetLastError(error);
        return NULL;
    }
    value[size] = 0;
    return value;
}

// Whether the body comes in a transfer coding, which then frames it. We ask
// for none (no TE header goes out), so HTTP allows a server only "chunked",
// and WinINets differ on anything else: one decodes gzip, another stores
// the raw framing, and with a coding that frames nothing a body cut short
// would pass for whole, its Content-Length set aside. So any other coding,
// or chunked along with another, fails the download.
enum Framing { kNotChunked, kChunked, kFramingRefused };

Framing BodyFraming(Failures *failures, HINTERNET request)
{
    int codings = 0;
    bool chunked = false;
    for (DWORD index = 0;; index++) {
        char *value = QueryHeader(request, HTTP_QUERY_TRANSFER_ENCODING, index);
        if (!value) {
            if (GetLastError() == ERROR_HTTP_HEADER_NOT_FOUND) break;
            ReportFailure(failures, GetLastError() == ERROR_NOT_ENOUGH_MEMORY ? "malloc Error" : "HttpQueryInfo Error");
            return kFramingRefused;
        }
        for (const char *item = value; *item;) {
            item += strspn(item, " \t,");
            size_t length = strcspn(item, ",");
            while (length && (item[length - 1] == ' ' || item[length - 1] == '\t')) length--;
            if (length == 0) continue;  // an empty item names no coding
            codings++;
            chunked = length == 7 && StartsWithNoCase(item, "chunked");
            item += length;
        }
        free(value);
    }
    if (codings == 0) return kNotChunked;
    if (codings == 1 && chunked) return kChunked;
    ReportFailureWith(failures, ERROR_HTTP_INVALID_SERVER_RESPONSE, "Transfer-Encoding Error");
    return kFramingRefused;
}

enum Announced { kNoLength, kLength, kLengthFailed };

// The length the server announced, when it announced one, from every
// Content-Length field there is. A chunked body ends where its framing
// says, whatever a length beside it claims. A length that can't be read,
// or can't be believed, fails the download: without it a body cut short
// could not be told from a whole one.
Announced AnnouncedLength(Failures *failures, HINTERNET request, unsigned long long *length)
{
    switch (BodyFraming(failures, request)) {
    case kChunked: return kNoLength;
    case kFramingRefused: return kLengthFailed;
    case kNotChunked: break;
    }
    bool seen = false;
    for (DWORD index = 0;; index++) {
        char *value = QueryHeader(request, HTTP_QUERY_CONTENT_LENGTH, index);
        if (!value) {
            if (GetLastError() == ERROR_HTTP_HEADER_NOT_FOUND) return seen ? kLength : kNoLength;
            ReportFailure(failures, GetLastError() == ERROR_NOT_ENOUGH_MEMORY ? "malloc Error" : "HttpQueryInfo Error");
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
        if (!InternetReadFile(request, block, kBlockSize, &length)) {
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
    return result;
}

}  // namespace

namespace {

int Download(Failures *failures, char *url, char *localPath, HWND notifyWindow)
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
extern "C" int WINAPI Larkspan(char *url, char *localPath, HWND notifyWindow, HWND spareWindow)
{
    (void)spareWindow;
    Failures failures = {false, 0};
    int result = Download(&failures, url, localPath, notifyWindow);
    SetLastError(result == LARKSPAN_FAILED ? failures.first : ERROR_SUCCESS);
    return result;
}
