// URLs as text (url.h): escaping, the URL a request sends, and a reference
// resolved against the URL it came from. No curl, sockets or locks.
#include "url.h"

#include <cctype>
#include <cstring>
#include <strings.h>

std::string EscapeUrl(const std::string &text, UrlEscape escape)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        unsigned char byte = (unsigned char)c;
        bool unsafe = byte <= 0x20 || byte >= 0x7f || strchr("\"<>\\^`{|}", byte);
        if ((escape == kEscapeSpaces && byte == ' ') || (escape == kEscapeUnsafe && unsafe)) {
            escaped += '%';
            escaped += kHex[byte >> 4];
            escaped += kHex[byte & 15];
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string EscapeRequestUrl(const char *url)
{
    const char *authority = strstr(url, "://");
    const char *path = authority ? authority + 3 + strcspn(authority + 3, "/?#") : url;
    return std::string(url, path) + EscapeUrl(std::string(path, strcspn(path, "#")), kEscapeUnsafe);
}

namespace {

// A URL or reference cut into RFC 3986's five parts; a part that is absent
// differs from one that is empty ("?" alone is an empty query).
struct UrlParts {
    std::string scheme, authority, path, query, fragment;
    bool hasScheme = false, hasAuthority = false, hasQuery = false, hasFragment = false;
};

UrlParts SplitUrl(const std::string &url)
{
    UrlParts parts;
    size_t at = 0;
    size_t colon = url.find_first_of(":/?#");
    if (colon != std::string::npos && colon > 0 && url[colon] == ':' && isalpha((unsigned char)url[0]) &&
        url.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-.", 0) == colon) {
        parts.hasScheme = true;
        parts.scheme = url.substr(0, colon);
        at = colon + 1;
    }
    if (url.compare(at, 2, "//") == 0) {
        size_t end = url.find_first_of("/?#", at + 2);
        if (end == std::string::npos) end = url.size();
        parts.hasAuthority = true;
        parts.authority = url.substr(at + 2, end - at - 2);
        at = end;
    }
    size_t end = url.find_first_of("?#", at);
    if (end == std::string::npos) end = url.size();
    parts.path = url.substr(at, end - at);
    at = end;
    if (at < url.size() && url[at] == '?') {
        end = url.find('#', at);
        if (end == std::string::npos) end = url.size();
        parts.hasQuery = true;
        parts.query = url.substr(at + 1, end - at - 1);
        at = end;
    }
    if (at < url.size()) {
        parts.hasFragment = true;
        parts.fragment = url.substr(at + 1);
    }
    return parts;
}

// RFC 3986, 5.2.4: "." and ".." segments go, ".." taking the one before it.
std::string RemoveDotSegments(std::string input)
{
    std::string output;
    while (!input.empty()) {
        if (input.compare(0, 3, "../") == 0) input.erase(0, 3);
        else if (input.compare(0, 2, "./") == 0) input.erase(0, 2);
        else if (input.compare(0, 3, "/./") == 0) input.erase(0, 2);
        else if (input == "/.") input = "/";
        else if (input.compare(0, 4, "/../") == 0 || input == "/..") {
            input = input.size() == 3 ? "/" : input.substr(3);
            size_t last = output.rfind('/');
            output.erase(last == std::string::npos ? 0 : last);
        } else if (input == "." || input == "..") input.clear();
        else {
            size_t next = input.find('/', 1);
            if (next == std::string::npos) next = input.size();
            output += input.substr(0, next);
            input.erase(0, next);
        }
    }
    return output;
}

}  // namespace

bool ResolveUrl(const std::string &base, const std::string &reference, UrlEscape escape, std::string *resolved)
{
    UrlParts from = SplitUrl(base), ref = SplitUrl(reference), to;
    if (!from.hasScheme) return false;
    if (ref.hasScheme && !ref.hasAuthority && strcasecmp(ref.scheme.c_str(), from.scheme.c_str()) == 0)
        ref.hasScheme = false;
    if (ref.hasScheme) {
        to = ref;
        to.path = RemoveDotSegments(ref.path);
    } else {
        to.scheme = from.scheme;
        to.hasScheme = true;
        if (ref.hasAuthority) {
            to.authority = ref.authority;
            to.hasAuthority = true;
            to.path = RemoveDotSegments(ref.path);
            to.query = ref.query;
            to.hasQuery = ref.hasQuery;
        } else {
            to.authority = from.authority;
            to.hasAuthority = from.hasAuthority;
            if (ref.path.empty()) {
                to.path = from.path;
                to.query = ref.hasQuery ? ref.query : from.query;
                to.hasQuery = ref.hasQuery || from.hasQuery;
            } else {
                if (ref.path[0] == '/') {
                    to.path = ref.path;
                } else if (from.hasAuthority && from.path.empty()) {
                    to.path = "/" + ref.path;
                } else {
                    size_t slash = from.path.rfind('/');
                    to.path = (slash == std::string::npos ? std::string() : from.path.substr(0, slash + 1)) + ref.path;
                }
                to.path = RemoveDotSegments(to.path);
                to.query = ref.query;
                to.hasQuery = ref.hasQuery;
            }
        }
    }
    to.fragment = ref.fragment;
    to.hasFragment = ref.hasFragment;
    // An http URL's empty path is "/".
    if (to.hasAuthority && to.path.empty()) to.path = "/";

    std::string head = to.scheme + ":" + (to.hasAuthority ? "//" + to.authority : std::string());
    std::string tail = (to.hasQuery ? "?" + to.query : std::string()) + (to.hasFragment ? "#" + to.fragment : std::string());
    // By default only the path is escaped; spaces are, everywhere.
    if (escape == kEscapeUnsafe) *resolved = head + EscapeUrl(to.path, kEscapeUnsafe) + tail;
    else *resolved = EscapeUrl(head + to.path + tail, escape);
    return true;
}
