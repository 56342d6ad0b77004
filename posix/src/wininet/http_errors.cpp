// The table from curl's result codes to WinINet's error numbers
// (http_errors.h). Pure: touches nothing.
#include "http_errors.h"

#include <wininet.h>

#include <cerrno>

DWORD ErrorFromCurl(CURLcode code, bool headersFinal, bool headSeen, long osError)
{
    switch (code) {
    case CURLE_OK: return ERROR_SUCCESS;
    case CURLE_URL_MALFORMAT: return ERROR_INTERNET_INVALID_URL;
    case CURLE_UNSUPPORTED_PROTOCOL:
        // The URL's scheme is checked before the request goes out: this is a
        // reply that is not HTTP at all (HTTP/0.9,
        // or a status line curl can't read, after an informational response
        // too).
        return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST: return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT: return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT: return ERROR_INTERNET_TIMEOUT;
    // The connection closed before a whole first line: WinINet's "the
    // server did not return any headers", apart from a reply that is not
    // HTTP. After an informational response alone (curl's "nothing" too),
    // a reply without a final response, as Wine's WinINet has it.
    case CURLE_GOT_NOTHING: return headSeen ? ERROR_HTTP_INVALID_SERVER_RESPONSE : ERROR_HTTP_DOWNLEVEL_SERVER;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_BAD_CONTENT_ENCODING: return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_PEER_FAILED_VERIFICATION: return ERROR_INTERNET_INVALID_CA;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS: return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    case CURLE_OUT_OF_MEMORY:
        // curl refuses a header line past its limit (100 KiB) as out of
        // memory: while the headers are read, that is the likely cause.
        return headersFinal ? ERROR_NOT_ENOUGH_MEMORY : ERROR_HTTP_INVALID_SERVER_RESPONSE;
#if LIBCURL_VERSION_NUM >= 0x080600
    case CURLE_TOO_LARGE: return ERROR_HTTP_INVALID_SERVER_RESPONSE;
#endif
    case CURLE_PARTIAL_FILE: return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_BAD_FUNCTION_ARGUMENT:
        // Every option is set before the transfer starts, where a bad one
        // fails the opening at once: during it, this is curl 7.88's answer
        // to a head line it can't place (one that starts with white space
        // right after the status line).
        return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
        return osError == ECONNRESET ? ERROR_INTERNET_CONNECTION_RESET : ERROR_INTERNET_CONNECTION_ABORTED;
    default: return ERROR_INTERNET_INTERNAL_ERROR;
    }
}
