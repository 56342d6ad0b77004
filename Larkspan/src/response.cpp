// The final response's head judged (response.h). Each check reads what it
// needs through HttpQueryInfoA and refuses what it can't read or believe:
// a reply stored on a guess could be a cut-off body or another page.
#include "response.h"

#include <Larkspan.h>

#include "query_info.h"
#include "text.h"

#include <stdlib.h>
#include <string.h>

namespace {

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

// The headers are read in full, as a check that the response is HTTP; the
// rest of their content is not needed.
DWORD CheckHead(Failures *failures, HINTERNET request)
{
    char *headers;
    DWORD size = 0;
    if (DWORD error = QueryInfoText(request, HTTP_QUERY_RAW_HEADERS_CRLF, 0, &headers, &size))
        return Fail(failures, QueryStep(error), error);
    bool http = LooksLikeHttp(headers, size);
    // Wine's WinINet answers a connection closed before the end of a first
    // line with a head of line ends alone: the server sent no reply, which
    // the native layer reports in the same code.
    bool nothing = strspn(headers, "\r\n") == size;
    free(headers);
    if (http) return 0;
    return Fail(failures, kStepQuery, nothing ? ERROR_HTTP_DOWNLEVEL_SERVER : ERROR_HTTP_INVALID_SERVER_RESPONSE);
}

// Only a success status has the resource as its body; anything else would
// store an error page under the caller's file name.
DWORD CheckStatus(Failures *failures, HINTERNET request)
{
    DWORD status = 0, size = sizeof status;
    if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, NULL))
        return Fail(failures, kStepQuery, GetLastError());
    if (status < 200 || status > 299) return FailStatus(failures, status);
    return 0;
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
DWORD CheckCoding(Failures *failures, HINTERNET request, bool *chunked)
{
    int fields = 0;
    *chunked = false;
    for (DWORD index = 0;; index++) {
        char *value;
        DWORD length = 0;
        if (DWORD error = QueryInfoText(request, HTTP_QUERY_TRANSFER_ENCODING, index, &value, &length)) {
            if (error == ERROR_HTTP_HEADER_NOT_FOUND) break;
            return Fail(failures, QueryStep(error), error);
        }
        fields++;
        *chunked = length == 7 && StartsWithNoCase(value, "chunked");
        free(value);
    }
    if (fields == 0 || (fields == 1 && *chunked)) return 0;
    return Fail(failures, kStepCoding, ERROR_HTTP_INVALID_SERVER_RESPONSE);
}

// The length the server announced, when it announced one, from every
// Content-Length field there is. A length that can't be read, or can't be
// believed, fails the download: without it a body cut short could not be
// told from a whole one.
DWORD CheckLength(Failures *failures, HINTERNET request, bool *seen, unsigned long long *length)
{
    *seen = false;
    for (DWORD index = 0;; index++) {
        char *value;
        DWORD size = 0;
        if (DWORD error = QueryInfoText(request, HTTP_QUERY_CONTENT_LENGTH, index, &value, &size)) {
            if (error == ERROR_HTTP_HEADER_NOT_FOUND) return 0;
            return Fail(failures, QueryStep(error), error);
        }
        bool believed = ParseLength(value, seen, length);
        free(value);
        if (!believed) return Fail(failures, kStepLength, ERROR_HTTP_INVALID_SERVER_RESPONSE);
    }
}

}  // namespace

DWORD CheckResponse(Failures *failures, HINTERNET request, Expected *expected)
{
    expected->framing = kFramedByClose;
    expected->length = 0;
    if (DWORD error = CheckHead(failures, request)) return error;
    if (DWORD error = CheckStatus(failures, request)) return error;
    bool chunked = false;
    if (DWORD error = CheckCoding(failures, request, &chunked)) return error;
    // A chunked body ends where its framing says, whatever a length beside
    // it claims.
    if (chunked) {
        expected->framing = kChunked;
        return 0;
    }
    bool seen = false;
    if (DWORD error = CheckLength(failures, request, &seen, &expected->length)) return error;
    if (seen) expected->framing = kFramedByLength;
    return 0;
}
