// Words for the library's failures (failure_words.h): one table of error
// numbers and one of statuses, and the proxy variable this build reads.
#include "failure_words.h"

#include "wine.h"

#include <Larkspan.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef _WIN32
#include <windows.h>
#define strcasecmp _stricmp
#else
#include <strings.h>
#endif

namespace {

struct Meaning {
    unsigned long code;
    const char *words;
};

// WinINet's numbers, then the system's that the library's file and memory
// steps report. The same numbers in both builds: the native layer reports
// WinINet's and Windows' codes too.
const Meaning kErrorWords[] = {
    {12001, "no more internet handles"},
    {12002, "timed out"},
    {12004, "internal error of the internet functions"},
    {12005, "the URL is not valid"},
    {12006, "the URL's scheme is not one the library speaks (http or https)"},
    {12007, "the server's name could not be resolved"},
    {12017, "the operation was cancelled"},
    {12029, "could not connect to the server"},
    {12030, "the connection was aborted"},
    {12031, "the connection was reset by the server"},
    {12037, "the server's certificate has expired or is not yet valid"},
    {12038, "the server's certificate is for another name"},
    {12040, "a redirect from https to http was refused"},
    {12044, "the server asks for a client certificate"},
    {12045, "the server's certificate is not trusted"},
    {12055, "the server's certificate has errors"},
    {12057, "the server's certificate could not be checked for revocation; most likely its authority is not trusted here"},
    {12150, "a header the library needs is missing from the response"},
    {12151, "the server closed the connection without a reply"},
    {12152, "the server's response is not valid HTTP"},
    {12156, "too many redirects, or a redirect that could not be followed"},
    {12157, "the secure connection could not be set up"},
    {12169, "the server's certificate is not valid"},
    {12170, "the server's certificate has been revoked"},
    {12175, "the response's content could not be decoded"},
    {2, "the file was not found"},
    {3, "the folder does not exist"},
    {5, "access denied"},
    {6, "invalid handle"},
    {8, "not enough memory"},
    {29, "the device could not be written to"},
    {32, "the file is in use by another program"},
    {39, "the disk is full"},
    {87, "a parameter is missing or not valid"},
    {109, "the reader of the pipe went away"},
    {112, "the disk is full"},
    {122, "a buffer was too small"},
    {123, "the file name is not valid"},
    {206, "the file name is too long"},
    {232, "the reader of the pipe went away"},
    {233, "nobody reads the pipe"},
};

const char *StatusWords(unsigned long status)
{
    switch (status) {
    case 400: return "Bad Request";
    case 401: return "Unauthorized: the server wants credentials";
    case 403: return "Forbidden";
    case 404: return "Not Found: there is no such file on the server";
    case 405: return "Method Not Allowed";
    case 407: return "Proxy Authentication Required: the proxy wants a user name and password";
    case 408: return "Request Timeout";
    case 410: return "Gone";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return NULL;
    }
}

bool Under(const std::string &host, std::string entry)
{
    if (!entry.empty() && entry[0] == '.') entry.erase(0, 1);
    if (entry.empty() || entry.size() > host.size()) return false;
    if (strcasecmp(host.c_str() + host.size() - entry.size(), entry.c_str()) != 0) return false;
    return host.size() == entry.size() || host[host.size() - entry.size() - 1] == '.';
}

// no_proxy as curl and Wine take it: "*", or names separated by commas (or
// spaces), each matching the host and the hosts under it.
bool Excepted(const std::string &host)
{
    const char *list = getenv("no_proxy");
    if (!list || !*list) list = getenv("NO_PROXY");
    if (!list) return false;
    std::string entries(list);
    for (size_t start = 0; start < entries.size();) {
        size_t end = entries.find_first_of(", ", start);
        if (end == std::string::npos) end = entries.size();
        std::string entry = entries.substr(start, end - start);
        if (entry == "*" || Under(host, entry)) return true;
        start = end + 1;
    }
    return false;
}

// The variable `name` as the environment spells it. Windows' getenv finds
// HTTP_PROXY for "http_proxy" too: names differ only in case there.
const char *SetVariable(const char *name)
{
    const char *value = getenv(name);
    if (!value || !*value) return NULL;
#ifdef _WIN32
    static char spelled[64];
    size_t length = strlen(name);
    char *block = GetEnvironmentStringsA();
    for (const char *entry = block; block && *entry; entry += strlen(entry) + 1) {
        if (_strnicmp(entry, name, length) == 0 && entry[length] == '=' && length < sizeof spelled) {
            memcpy(spelled, entry, length);
            spelled[length] = '\0';
            name = spelled;
            break;
        }
    }
    if (block) FreeEnvironmentStringsA(block);
#endif
    return name;
}

// The proxy variable of the environment that this build took for `url`, if
// any: a status that came back through a proxy may be the proxy's own
// refusal (of a tunnel for https, say) rather than the server's answer. Only
// variables the build reads for that scheme are named (docs/network.md's proxy
// table). Natively, curl's: http_proxy for http; https_proxy or HTTPS_PROXY
// for https, else all_proxy or ALL_PROXY for both, and for https http_proxy
// when none of those is set. HTTP_PROXY in capitals is never read. Under
// Wine, http_proxy or HTTP_PROXY, for every scheme. Windows itself reads no
// variable: its proxy is the system's setting.
const char *ProxyVariable(const char *url)
{
    const char *rest = strstr(url, "://");
    if (!rest) return NULL;
    std::string scheme(url, rest - url);
    rest += 3;
    std::string authority(rest, strcspn(rest, "/?#"));
    std::string host = authority.substr(authority.find('@') == std::string::npos ? 0 : authority.find('@') + 1);
    host = host[0] == '[' ? host.substr(0, host.find(']') + 1) : host.substr(0, host.find(':'));
#ifdef _WIN32
    static const char *const http[] = {"http_proxy"};  // either spelling: see SetVariable
    static const char *const https[] = {"http_proxy"};
    if (!UnderWine()) return NULL;
#else
    static const char *const http[] = {"http_proxy", "all_proxy", "ALL_PROXY"};
    static const char *const https[] = {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "http_proxy"};
#endif
    if (Excepted(host)) return NULL;
    bool secure = strcasecmp(scheme.c_str(), "https") == 0;
    const char *const *names = secure ? https : http;
    size_t count = secure ? sizeof https / sizeof *https : sizeof http / sizeof *http;
    for (size_t i = 0; i < count; i++)
        if (const char *name = SetVariable(names[i])) return name;
    return NULL;
}

}  // namespace

const char *ErrorWords(unsigned long code)
{
    for (const Meaning &meaning : kErrorWords)
        if (meaning.code == code) return meaning.words;
    return NULL;
}

std::string ExplainFailure(const std::string &line, unsigned long code, const char *url)
{
    // A line whose label is followed by words of its own, not a code.
    const char kIncomplete[] = LARKSPAN_LABEL_INCOMPLETE ": ";
    if (line.compare(0, strlen(kIncomplete), kIncomplete) == 0) return line;
    char words[256];
    if (code & LARKSPAN_ERROR_HTTP_STATUS) {
        unsigned long status = code & 0xFFFF;
        const char *statusWords = StatusWords(status);
        const char *proxy = ProxyVariable(url);
        if (status == 407)
            snprintf(words, sizeof words, " (the proxy answered 407 %s)", statusWords);
        else if (proxy)
            snprintf(words, sizeof words, " (the server, or the proxy that %s names, answered %lu%s%s)", proxy,
                     status, statusWords ? " " : "", statusWords ? statusWords : "");
        else
            snprintf(words, sizeof words, " (the server answered %lu%s%s)", status, statusWords ? " " : "",
                     statusWords ? statusWords : "");
    } else if (const char *meaning = ErrorWords(code)) {
        snprintf(words, sizeof words, " (%lu: %s)", code, meaning);
    } else {
        snprintf(words, sizeof words, " (error %lu)", code);
    }
    return line + words;
}
