// Request set-up (http_request.h): the URL as it goes out (url.h), a
// reload's header lines, certificate authorities, the proxy choice and
// curl's options. Reads the environment and sets options on the easy handle
// it is given; nothing else.
#include "http_request.h"

#include "http_body.h"
#include "system_calls.h"
#include "text_convert.h"
#include "url.h"

#include <wininet.h>

#include <cstdlib>

namespace {

const char *Variable(const char *name)
{
    const char *value = getenv(name);
    return value && *value ? value : nullptr;
}

// The certificate authorities to trust, where the user names them the way
// curl's own tool takes them: CURL_CA_BUNDLE, a file of certificates;
// otherwise SSL_CERT_FILE, a file, and SSL_CERT_DIR, a folder of hashed
// ones (OpenSSL's names). Each replaces the system's store, as it does for
// those tools; with none set, the system's store is used. Verification
// itself always stays on.
void SetAuthorities(CURL *easy)
{
    if (const char *bundle = Variable("CURL_CA_BUNDLE")) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, bundle);
        return;
    }
    const char *file = Variable("SSL_CERT_FILE"), *folder = Variable("SSL_CERT_DIR");
    if (file || folder) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, file);
        curl_easy_setopt(easy, CURLOPT_CAPATH, folder);
    }
}

// There is no local cache here; a reload still tells the caches on the way.
bool AddRequestHeaders(curl_slist **list, DWORD flags)
{
    if (!(flags & INTERNET_FLAG_RELOAD)) return true;
    for (const char *line : {"Cache-Control: no-cache", "Pragma: no-cache"}) {
        curl_slist *grown = sys.curl_slist_append(*list, line);
        if (!grown) return false;
        *list = grown;
    }
    return true;
}

void SetProxy(CURL *easy, const char *url, const TransferSettings &settings)
{
    if (settings.accessType == INTERNET_OPEN_TYPE_DIRECT) {
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
    } else if (settings.accessType == INTERNET_OPEN_TYPE_PROXY) {
        curl_easy_setopt(easy, CURLOPT_PROXY, settings.proxy);
        curl_easy_setopt(easy, CURLOPT_NOPROXY, settings.proxyBypass);
    } else if (HasPrefixNoCase(url, "https:") && !Variable("https_proxy") && !Variable("HTTPS_PROXY") &&
               !Variable("all_proxy") && !Variable("ALL_PROXY")) {
        // INTERNET_OPEN_TYPE_PRECONFIG: curl takes the proxy variables of the
        // environment (http_proxy for http, https_proxy for https, all_proxy
        // for both, no_proxy for exceptions; not HTTP_PROXY in capitals,
        // which a web server's CGI programs receive from any client). An
        // https URL with only http_proxy set goes through that proxy too, as
        // WinINet sends every scheme through its one proxy; no_proxy still
        // applies.
        if (const char *proxy = Variable("http_proxy")) curl_easy_setopt(easy, CURLOPT_PROXY, proxy);
    }
}

}  // namespace

DWORD SetUpRequest(CURL *easy, curl_slist **requestHeaders, const char *url, DWORD flags,
                   const TransferSettings &settings)
{
    if (!AddRequestHeaders(requestHeaders, flags)) return ERROR_NOT_ENOUGH_MEMORY;
    curl_easy_setopt(easy, CURLOPT_URL, EscapeRequestUrl(url).c_str());
    curl_easy_setopt(easy, CURLOPT_USERAGENT, settings.agent);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, *requestHeaders);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    // A redirect is the response: the programs follow redirects themselves.
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    SetAuthorities(easy);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, (long)settings.connectTimeoutMs);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBuffer);
    SetProxy(easy, url, settings);
    return 0;
}
