// The one export: download a URL into a file, block by block, telling the
// caller's window before every read and the debugger about everything.
#include <Larkspan.h>
#include <wininet.h>

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
const size_t kMessageSize = 512;

// "<label>: <last error in hex>", the form of every failure line.
void ReportFailure(const char *label)
{
    char message[kMessageSize];
    DWORD code = GetLastError();
    wsprintfA(message, "%s: %x", label, code);
    OutputDebugStringA(message);
}

void ReportProgress(unsigned long long received)
{
    char message[kMessageSize];
    snprintf(message, sizeof message, "Downloading file.\nDownloaded %llu KBytes", received / 1000);
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

// A real HTTP response has a status line and at least one header field.
// WinINet takes anything else for HTTP/0.9 and makes up "HTTP/1.0 200 OK"
// with no field for it: that is garbage, not a body to store.
bool LooksLikeHttp(const char *headers, DWORD size)
{
    if (size < 5 || memcmp(headers, "HTTP/", 5) != 0) return false;
    const char *lineEnd = (const char *)memchr(headers, '\n', size);
    if (!lineEnd) return false;
    DWORD rest = size - (DWORD)(lineEnd + 1 - headers);
    return rest > 2 && lineEnd[1] != '\r' && lineEnd[1] != '\n';
}

// The headers are read in full, as a check that the response is HTTP; the
// rest of their content is not needed.
bool ReadRawHeaders(HINTERNET request)
{
    DWORD size = 0;
    // Asking with no buffer fails by design and says how much to take; any
    // other failure is the headers' real trouble, reported as it is.
    if (!HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS_CRLF, NULL, &size, NULL) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        ReportFailure("HttpQueryInfo Error");
        return false;
    }
    char *headers = (char *)malloc(size ? size : 1);
    if (!headers) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        ReportFailure("malloc Error");
        return false;
    }
    BOOL read = HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS_CRLF, headers, &size, NULL);
    if (read && !LooksLikeHttp(headers, size)) {
        SetLastError(ERROR_HTTP_INVALID_SERVER_RESPONSE);
        read = FALSE;
    }
    if (!read) ReportFailure("HttpQueryInfo Error");
    free(headers);
    return read != FALSE;
}

// Only a success status has the resource as its body; anything else would
// store an error page under the caller's file name.
bool CheckStatus(HINTERNET request)
{
    DWORD status = 0, size = sizeof status;
    if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, NULL)) {
        ReportFailure("HttpQueryInfo Error");
        return false;
    }
    if (status < 200 || status > 299) {
        char message[kMessageSize];
        wsprintfA(message, "HTTP Status Error: %u", (unsigned)status);
        OutputDebugStringA(message);
        return false;
    }
    return true;
}

// The length the server announced, when it announced one. Read as text so
// that lengths past 4 GiB come through whole. A body sent with a transfer
// coding (chunked) ends where its coding says, whatever a Content-Length
// beside it claims.
bool AnnouncedLength(HINTERNET request, unsigned long long *length)
{
    char text[32];
    DWORD size = sizeof text;
    if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, NULL)) return false;
    if (size == 0 || strspn(text, "0123456789") != size) return false;
    char coding[64];
    DWORD codingSize = sizeof coding;
    if (HttpQueryInfoA(request, HTTP_QUERY_TRANSFER_ENCODING, coding, &codingSize, NULL) ||
        GetLastError() == ERROR_INSUFFICIENT_BUFFER)
        return false;
    *length = strtoull(text, NULL, 10);
    return true;
}

// Reads the body to its end into `file` (which may be null: then the bytes
// are only counted). Returns the result code the transfer earns.
int TransferBody(HINTERNET request, FILE *file, HWND notifyWindow, unsigned long long *received)
{
    int result = LARKSPAN_OK;
    for (;;) {
        char *block = (char *)malloc(kBlockSize);
        if (!block) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            ReportFailure("malloc Error");
            return LARKSPAN_FAILED;
        }
        ReportProgress(*received);
        if (notifyWindow) SendMessageA(notifyWindow, LARKSPAN_PROGRESS_MESSAGE, 0, 0);
        DWORD length = 0;
        if (!InternetReadFile(request, block, kBlockSize, &length)) {
            ReportFailure("InternetReadFile Error");
            free(block);
            return LARKSPAN_FAILED;
        }
        if (length == 0) {
            free(block);
            return result;
        }
        *received += length;
        if (LooksLikeHtml(block, length)) result = LARKSPAN_HTML;
        if (file && fwrite(block, 1, length, file) != length) {
            ReportFailure("fwrite Error");
            free(block);
            return LARKSPAN_FAILED;
        }
        free(block);
    }
}

// From an open request to a closed file: status, headers, file, body.
int Store(HINTERNET request, const char *localPath, HWND notifyWindow)
{
    if (!ReadRawHeaders(request) || !CheckStatus(request)) return LARKSPAN_FAILED;

    unsigned long long announced = 0;
    bool haveAnnounced = AnnouncedLength(request, &announced);

    char *streamBuffer = (char *)malloc(kStreamBufferSize);
    if (!streamBuffer) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        ReportFailure("malloc Error");
        return LARKSPAN_FAILED;
    }
    // Binary, so that the body is stored byte for byte on every platform.
    FILE *file = fopen(localPath, "w+b");
    if (!file) {
        ReportFailure("fopen Error");
        free(streamBuffer);
        return LARKSPAN_FAILED;
    }
    setvbuf(file, streamBuffer, _IOFBF, kStreamBufferSize);
    unsigned long long received = 0;
    int result = TransferBody(request, file, notifyWindow, &received);
    if (fclose(file) != 0) {
        ReportFailure("fclose Error");
        result = LARKSPAN_FAILED;
    }
    free(streamBuffer);
    if (result != LARKSPAN_FAILED && haveAnnounced && received < announced) {
        // The connection ended early but cleanly: the file is cut short.
        char message[kMessageSize];
        snprintf(message, sizeof message, "Incomplete Body Error: %llu of %llu bytes", received, announced);
        OutputDebugStringA(message);
        result = LARKSPAN_FAILED;
    }
    return result;
}

}  // namespace

extern "C" int WINAPI Larkspan(char *url, char *localPath, HWND notifyWindow, HWND spareWindow)
{
    (void)spareWindow;
    if (!url || !localPath) {
        SetLastError(ERROR_INVALID_PARAMETER);
        ReportFailure("Parameter Error");
        return LARKSPAN_FAILED;
    }

    HINTERNET session = InternetOpenA(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    if (!session) {
        ReportFailure("InternetOpen Error");
        return LARKSPAN_FAILED;
    }

    int result;
    HINTERNET request = InternetOpenUrlA(session, url, NULL, 0, INTERNET_FLAG_RELOAD, 0);
    if (!request) {
        ReportFailure("InternetOpenUrl Error");
        result = LARKSPAN_FAILED;
    } else {
        result = Store(request, localPath, notifyWindow);
        if (!InternetCloseHandle(request)) ReportFailure("CloseHandle Error");
    }
    if (!InternetCloseHandle(session)) ReportFailure("CloseHandle Error");
    return result;
}
