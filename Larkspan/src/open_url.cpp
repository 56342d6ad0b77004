// Redirects are followed here rather than by WinINet: Wine's WinINet follows
// a redirect loop for ever (a request after another as fast as the server
// answers), where a download must end. So each URL is opened with
// INTERNET_FLAG_NO_AUTO_REDIRECT, and a redirect's Location, taken against
// the URL that answered, is the next URL to open, as WinINet would have
// opened it. Each hop's address is checked before it is asked for: a secure
// download never goes on over plain HTTP (anyone on the way could answer
// it), nor to another scheme.
#include "open_url.h"

#include "query_info.h"
#include "report.h"
#include "text.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

namespace {

bool IsRedirect(DWORD status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Whether the response is a redirect to follow (*location then holds its
// Location, in a buffer the caller frees). One without a Location (or with
// an empty one) is the final response, whose status decides. 0, or the
// error of the failure written: a response that can't be read, taken for a
// final one, might be stored.
DWORD ReadRedirect(Failures *failures, HINTERNET request, char **location)
{
    *location = NULL;
    DWORD status = 0, size = sizeof status;
    if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, NULL))
        return Fail(failures, kStepQuery, GetLastError());
    if (!IsRedirect(status)) return 0;
    char *value;
    if (DWORD error = QueryInfoText(request, HTTP_QUERY_LOCATION, 0, &value, &size)) {
        if (error == ERROR_HTTP_HEADER_NOT_FOUND) return 0;
        return Fail(failures, QueryStep(error), error);
    }
    if (size == 0) free(value);
    else *location = value;
    return 0;
}

// Bytes a URL does not carry as they are: past ASCII, control bytes, space.
bool NeedsEscape(unsigned char byte)
{
    return byte <= ' ' || byte >= 0x7f;
}

// A Location as a URL may carry it: bytes past ASCII (a name in UTF-8, as
// servers send them), control bytes and spaces escaped as %XX, as browsers
// and curl send them. The next request then goes out the same from every
// WinINet, whatever each would make of raw bytes. In a buffer the caller
// frees; null when there is no memory.
char *EscapedLocation(const char *location)
{
    size_t escaped = 0;
    for (const char *at = location; *at; at++) escaped += NeedsEscape((unsigned char)*at);
    char *text = (char *)malloc(strlen(location) + 2 * escaped + 1);
    if (!text) return NULL;
    static const char kHex[] = "0123456789ABCDEF";
    char *into = text;
    for (const char *at = location; *at; at++) {
        unsigned char byte = (unsigned char)*at;
        if (NeedsEscape(byte)) {
            *into++ = '%';
            *into++ = kHex[byte >> 4];
            *into++ = kHex[byte & 15];
        } else {
            *into++ = (char)byte;
        }
    }
    *into = 0;
    return text;
}

// `location` taken against `base`, in *next, a buffer the caller frees; 0,
// or the error it can't be taken with. Windows' URL functions work in
// buffers of INTERNET_MAX_URL_LENGTH characters. Wine's
// InternetCombineUrlA joins the base and the reference in one such buffer
// before it resolves them, and given more answers success with another URL
// (the base's folder, or something that is no URL at all) or writes past its
// buffers. So the two together must fit in one, and the result in ours of
// that size, where a longer one fails cleanly; a redirect past that length is
// not followed.
DWORD NextUrl(const char *base, const char *location, char **next)
{
    *next = NULL;
    char *reference = EscapedLocation(location);
    if (!reference) return ERROR_NOT_ENOUGH_MEMORY;
    DWORD error = ERROR_HTTP_REDIRECT_FAILED;
    if (strlen(base) + strlen(reference) < INTERNET_MAX_URL_LENGTH) {
        char *combined = (char *)malloc(INTERNET_MAX_URL_LENGTH);
        DWORD size = INTERNET_MAX_URL_LENGTH;
        if (!combined) {
            error = ERROR_NOT_ENOUGH_MEMORY;
        } else if (InternetCombineUrlA(base, reference, combined, &size, ICU_ENCODE_SPACES_ONLY) &&
                   size < INTERNET_MAX_URL_LENGTH && strlen(combined) == size) {
            *next = combined;
            error = 0;
        } else {
            free(combined);
        }
    }
    free(reference);
    return error;
}

// Whether a download at `from` may go on to `to`; if not, the error that says why.
DWORD RefusedHop(const char *from, const char *to)
{
    bool secure = StartsWithNoCase(to, "https:");
    if (!secure && !StartsWithNoCase(to, "http:")) return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    if (StartsWithNoCase(from, "https:") && !secure) return ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR;
    return 0;
}

// A host's text: an IPv6 literal's between its brackets, or a name's (or an
// IPv4 address's) without a byte that no host name holds.
bool HostTextFits(const char *host, const char *end, bool literal)
{
    if (host == end) return false;
    for (const char *at = host; at < end; at++) {
        unsigned char c = (unsigned char)*at;
        bool fits = literal ? isxdigit(c) || c == ':' || c == '.' : c > ' ' && c != 0x7f && !strchr("[]\"<>\\^`{|}", c);
        if (!fits) return false;
    }
    return true;
}

// Whether the caller's URL is one to ask for: 0, or the error that refuses
// it before any connection. The WinINets differ on the rest: Wine's tries a
// connection for any scheme it knows (ftp), reads "http://[::1/x" as the
// host "[:" and "http:///x" as no host, and wraps a port past 65535, where
// the native layer refuses the URL; so its authority (RFC 3986) is read
// here: a host, an IPv6 literal closed by "]", a port of 1 to 65535 or none.
DWORD RefusedUrl(const char *url)
{
    size_t schemeLength = strcspn(url, ":/?#");
    bool known = (schemeLength == 4 && StartsWithNoCase(url, "http")) ||
                 (schemeLength == 5 && StartsWithNoCase(url, "https"));
    if (url[schemeLength] != ':' || !known) return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    const char *authority = url + schemeLength + 1;
    if (strncmp(authority, "//", 2) != 0) return ERROR_INTERNET_INVALID_URL;
    authority += 2;
    const char *end = authority + strcspn(authority, "/?#"), *host = authority;
    for (const char *at = authority; at < end; at++)
        if (*at == '@') host = at + 1;  // user information before it
    const char *hostEnd;
    if (*host == '[') {
        const char *closing = (const char *)memchr(host, ']', end - host);
        if (!closing || !HostTextFits(host + 1, closing, true)) return ERROR_INTERNET_INVALID_URL;
        hostEnd = closing + 1;
    } else {
        hostEnd = (const char *)memchr(host, ':', end - host);
        if (!hostEnd) hostEnd = end;
        if (!HostTextFits(host, hostEnd, false)) return ERROR_INTERNET_INVALID_URL;
    }
    if (hostEnd == end) return 0;
    if (*hostEnd != ':') return ERROR_INTERNET_INVALID_URL;
    unsigned long port = 0;
    const char *digit = hostEnd + 1;
    for (; digit < end && isdigit((unsigned char)*digit) && port <= 65535; digit++) port = port * 10 + (*digit - '0');
    if (digit != end) return ERROR_INTERNET_INVALID_URL;
    bool empty = digit == hostEnd + 1;  // the scheme's own port
    return empty || (port >= 1 && port <= 65535) ? 0 : ERROR_INTERNET_INVALID_URL;
}

}  // namespace

DWORD OpenUrl(Failures *failures, HINTERNET session, const char *url, HINTERNET *request)
{
    const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_AUTO_REDIRECT;
    char *current = NULL;  // the URL of the latest hop, once there is one
    DWORD error = 0;
    *request = NULL;
    for (int redirects = 0;; redirects++) {
        const char *address = current ? current : url;
        // Each address, the caller's and every hop's, is judged before it is asked for.
        if ((error = RefusedUrl(address))) {
            Fail(failures, kStepOpenUrl, error);
            break;
        }
        HINTERNET opened = InternetOpenUrlA(session, address, NULL, 0, flags, 0);
        if (!opened) {
            error = Fail(failures, kStepOpenUrl, GetLastError());
            break;
        }
        char *location;
        if ((error = ReadRedirect(failures, opened, &location)) || !location) {
            if (error) InternetCloseHandle(opened);
            else *request = opened;
            break;
        }
        InternetCloseHandle(opened);
        if (redirects == kMaxRedirects) {
            free(location);
            error = Fail(failures, kStepOpenUrl, ERROR_HTTP_REDIRECT_FAILED);
            break;
        }
        char *next;
        error = NextUrl(address, location, &next);
        free(location);
        if (error) {
            Fail(failures, kStepOpenUrl, error);
            break;
        }
        DWORD refused = RefusedHop(address, next);
        free(current);
        current = next;
        if (refused) {
            error = Fail(failures, kStepOpenUrl, refused);
            break;
        }
    }
    free(current);
    return error;
}
