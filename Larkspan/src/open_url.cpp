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

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

namespace {

const char kLabel[] = "InternetOpenUrl Error";

bool StartsWithNoCase(const char *text, const char *prefix)
{
    for (; *prefix; text++, prefix++)
        if (tolower((unsigned char)*text) != *prefix) return false;
    return true;
}

bool IsRedirect(DWORD status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The Location of a redirect response, in a buffer the caller frees; null
// when the response is not a redirect or has no (or an empty) Location: it
// is then the final response, whose status decides.
char *RedirectLocation(HINTERNET request)
{
    DWORD status = 0, size = sizeof status;
    if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, NULL) ||
        !IsRedirect(status))
        return NULL;
    size = 0;
    if (HttpQueryInfoA(request, HTTP_QUERY_LOCATION, NULL, &size, NULL) || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return NULL;
    char *location = (char *)malloc(size + 1);
    if (!location) return NULL;
    if (!HttpQueryInfoA(request, HTTP_QUERY_LOCATION, location, &size, NULL) || size == 0) {
        free(location);
        return NULL;
    }
    location[size] = 0;
    return location;
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

}  // namespace

HINTERNET OpenUrl(HINTERNET session, const char *url)
{
    const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_AUTO_REDIRECT;
    char *current = NULL;  // the URL of the latest hop, once there is one
    HINTERNET request = NULL;
    for (int redirects = 0;; redirects++) {
        const char *address = current ? current : url;
        request = InternetOpenUrlA(session, address, NULL, 0, flags, 0);
        if (!request) {
            ReportFailure(kLabel);
            break;
        }
        char *location = RedirectLocation(request);
        if (!location) break;  // the final response
        InternetCloseHandle(request);
        request = NULL;
        if (redirects == kMaxRedirects) {
            free(location);
            ReportFailureWith(ERROR_HTTP_REDIRECT_FAILED, kLabel);
            break;
        }
        char *next = NextUrl(address, location);
        free(location);
        if (!next) {
            ReportFailure(kLabel);
            break;
        }
        DWORD refused = RefusedHop(address, next);
        free(current);
        current = next;
        if (refused) {
            ReportFailureWith(refused, kLabel);
            break;
        }
    }
    free(current);
    return request;
}
