// Redirects are followed here rather than by WinINet: Wine's WinINet follows
// a redirect loop for ever (a request after another as fast as the server
// answers), where a download must end. So each URL is opened with
// INTERNET_FLAG_NO_AUTO_REDIRECT, and a redirect's Location, taken against
// the URL that answered, is the next URL to open, as WinINet would have
// opened it. Each hop's address is checked before it is asked for: a secure
// download never goes on over plain HTTP (anyone on the way could answer
// it), nor to another scheme.
#include "open_url.h"

#include "report.h"
#include "text.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

namespace {

const char kLabel[] = "InternetOpenUrl Error";

bool IsRedirect(DWORD status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

enum Answer { kFinal, kRedirect, kUnreadable };

// Whether the response is a redirect to follow, and then its Location in a
// buffer the caller frees. One without a Location (or with an empty one) is
// the final response, whose status decides. A response that can't be read
// is reported and fails the download: taken for a final one, it might be
// stored.
Answer ReadRedirect(Failures *failures, HINTERNET request, char **location)
{
    *location = NULL;
    DWORD status = 0, size = sizeof status;
    if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, NULL)) {
        ReportFailure(failures, "HttpQueryInfo Error");
        return kUnreadable;
    }
    if (!IsRedirect(status)) return kFinal;
    size = 0;
    // Asking with no buffer fails by design and says how much to take; an
    // answer that needs no room is an empty Location.
    if (HttpQueryInfoA(request, HTTP_QUERY_LOCATION, NULL, &size, NULL) ||
        GetLastError() == ERROR_HTTP_HEADER_NOT_FOUND)
        return kFinal;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        ReportFailure(failures, "HttpQueryInfo Error");
        return kUnreadable;
    }
    char *value = (char *)malloc(size + 1);
    if (!value) {
        ReportFailureWith(failures, ERROR_NOT_ENOUGH_MEMORY, "malloc Error");
        return kUnreadable;
    }
    if (!HttpQueryInfoA(request, HTTP_QUERY_LOCATION, value, &size, NULL)) {
        ReportFailure(failures, "HttpQueryInfo Error");
        free(value);
        return kUnreadable;
    }
    value[size] = 0;
    if (size == 0) {
        free(value);
        return kFinal;
    }
    *location = value;
    return kRedirect;
}

// `location` taken against `base`, in a buffer the caller frees; null with
// the last error set when it can't be. Escaping spaces at most triples a
// character, so the buffer is large enough without asking first.
char *NextUrl(const char *base, const char *location)
{
    DWORD size = (DWORD)(3 * (strlen(base) + strlen(location)) + 1);
    char *next = (char *)malloc(size);
    if (!next) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    if (!InternetCombineUrlA(base, location, next, &size, ICU_ENCODE_SPACES_ONLY)) {
        free(next);
        SetLastError(ERROR_HTTP_REDIRECT_FAILED);
        return NULL;
    }
    return next;
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

HINTERNET OpenUrl(Failures *failures, HINTERNET session, const char *url)
{
    if (DWORD refused = RefusedUrl(url)) {
        ReportFailureWith(failures, refused, kLabel);
        return NULL;
    }
    const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_AUTO_REDIRECT;
    char *current = NULL;  // the URL of the latest hop, once there is one
    HINTERNET request = NULL;
    for (int redirects = 0;; redirects++) {
        const char *address = current ? current : url;
        request = InternetOpenUrlA(session, address, NULL, 0, flags, 0);
        if (!request) {
            ReportFailure(failures, kLabel);
            break;
        }
        char *location;
        Answer answer = ReadRedirect(failures, request, &location);
        if (answer == kFinal) break;
        InternetCloseHandle(request);
        request = NULL;
        if (answer == kUnreadable) break;
        if (redirects == kMaxRedirects) {
            free(location);
            ReportFailureWith(failures, ERROR_HTTP_REDIRECT_FAILED, kLabel);
            break;
        }
        char *next = NextUrl(address, location);
        free(location);
        if (!next) {
            ReportFailure(failures, kLabel);
            break;
        }
        DWORD refused = RefusedHop(address, next);
        free(current);
        current = next;
        if (refused) {
            ReportFailureWith(failures, refused, kLabel);
            break;
        }
    }
    free(current);
    return request;
}
