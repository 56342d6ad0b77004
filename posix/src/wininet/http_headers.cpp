// Reading a response's header block: the lines as curl hands them over, and
// the fields the layer looks up in it.
#include "http_headers.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <strings.h>

HeaderLine AddHeaderLine(std::string *block, const char *data, size_t length)
{
    std::string line(data, length);
    if (line.compare(0, 5, "HTTP/") == 0) block->clear();
    if (block->size() + length > kMaxHeaderBlock) return kHeaderBlockTooLarge;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    // curl ends the header block at any line that starts with CR, whatever
    // follows on it; so does the layer, or the two would disagree about
    // which fields the response has.
    if (!line.empty() && line[0] == '\r') line.clear();
    // A CR inside a line is no line end: it becomes a space, as HTTP lets a
    // recipient read it, so that no value handed out holds one.
    std::replace(line.begin(), line.end(), '\r', ' ');
    *block += line;
    *block += "\r\n";
    return line.empty() ? kHeaderBlockEnded : kHeaderLineAdded;
}

bool NextHeader(const std::string &block, const char *name, size_t *at, std::string *value)
{
    size_t start = *at ? *at : block.find("\r\n");
    size_t nameLength = strlen(name);
    while (start != std::string::npos && start + 2 < block.size()) {
        start += 2;
        size_t end = block.find("\r\n", start);
        if (end == std::string::npos) end = block.size();
        if (end - start > nameLength && block[start + nameLength] == ':' &&
            strncasecmp(block.c_str() + start, name, nameLength) == 0) {
            size_t first = block.find_first_not_of(" \t", start + nameLength + 1);
            size_t last = block.find_last_not_of(" \t", end - 1);
            *value = first <= last && first < end ? block.substr(first, last - first + 1) : std::string();
            *at = end;
            return true;
        }
        start = end;
    }
    *at = std::string::npos;
    return false;
}

bool FindHeader(const std::string &block, const char *name, std::string *value)
{
    size_t at = 0;
    return NextHeader(block, name, &at, value);
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

    std::string url = to.scheme + ":" + (to.hasAuthority ? "//" + to.authority : std::string());
    size_t pathStart = url.size();
    url += to.path;
    size_t pathEnd = url.size();
    if (to.hasQuery) url += "?" + to.query;
    if (to.hasFragment) url += "#" + to.fragment;

    static const char kHex[] = "0123456789ABCDEF";
    resolved->clear();
    for (size_t at = 0; at < url.size(); at++) {
        unsigned char byte = (unsigned char)url[at];
        bool inPath = at >= pathStart && at < pathEnd;
        bool unsafe = byte <= 0x20 || byte >= 0x7f || strchr("\"<>\\^`{|}", byte);
        if ((escape == kEscapeSpaces && byte == ' ') || (escape == kEscapeUnsafeInPath && inPath && unsafe)) {
            *resolved += '%';
            *resolved += kHex[byte >> 4];
            *resolved += kHex[byte & 15];
        } else {
            *resolved += (char)byte;
        }
    }
    return true;
}

bool LengthsAgree(const std::string &block)
{
    std::string value, first;
    bool haveFirst = false;
    size_t at = 0;
    while (NextHeader(block, "Content-Length", &at, &value)) {
        size_t start = 0;
        while (start <= value.size()) {
            size_t comma = value.find(',', start);
            if (comma == std::string::npos) comma = value.size();
            std::string item = value.substr(start, comma - start);
            item.erase(0, item.find_first_not_of(" \t"));
            item.erase(item.find_last_not_of(" \t") + 1);
            if (!item.empty() && item.find_first_not_of("0123456789") == std::string::npos)
                item.erase(0, std::min(item.find_first_not_of('0'), item.size() - 1));
            if (item.empty()) {
                // "5," says no more than "5".
            } else if (!haveFirst) {
                first = item;
                haveFirst = true;
            } else if (item != first) {
                return false;
            }
            start = comma + 1;
        }
    }
    return true;
}
