// URLs as text, for WinINet's calls: bytes written as %XX, the URL a
// request sends, and a reference (a Location, say) resolved against the URL
// it came from, for InternetCombineUrlA. Plain text work: no curl, sockets
// or locks.
#ifndef WINPOSIX_URL_H
#define WINPOSIX_URL_H

#include <string>

// Which bytes are written as %XX of the byte as it stands in the caller's
// narrow string.
enum UrlEscape {
    kEscapeNothing,
    kEscapeSpaces,  // spaces only
    kEscapeUnsafe   // what HTTP takes in no request target: control bytes, space, bytes past ASCII, "<>\^`{|}
};

// `text` with the bytes `escape` names written as %XX.
std::string EscapeUrl(const std::string &text, UrlEscape escape);

// The URL as a request sends it, for callers that hand URLs over as typed:
// after the server's name, kEscapeUnsafe; the fragment is the caller's own
// and is not sent.
std::string EscapeRequestUrl(const char *url);

// `reference` taken against the absolute URL `base`, as RFC 3986 resolves
// it, dot segments removed; a reference with the base's own scheme and no
// "//" counts as relative, as browsers and WinINet take it. Escaped as
// InternetCombineUrlA escapes: kEscapeUnsafe in the path only (its
// default), kEscapeSpaces everywhere (ICU_ENCODE_SPACES_ONLY), or nothing
// (ICU_NO_ENCODE). False when `base` has no scheme.
bool ResolveUrl(const std::string &base, const std::string &reference, UrlEscape escape, std::string *resolved);

#endif
