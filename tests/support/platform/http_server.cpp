#include "http_server.h"

#include <chrono>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
typedef SOCKET RawSocket;
#define CloseSocket closesocket
static const int kSendFlags = 0;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
typedef int RawSocket;
#define INVALID_SOCKET (-1)
#define CloseSocket close
static const int kSendFlags = MSG_NOSIGNAL;
#endif

namespace {

void StartSockets()
{
#ifdef _WIN32
    static bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
#endif
}

RawSocket ListenOnLoopback(unsigned short *port)
{
    StartSockets();
    RawSocket listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (bind(listener, (sockaddr *)&address, sizeof address) != 0 || listen(listener, 64) != 0) {
        CloseSocket(listener);
        return INVALID_SOCKET;
    }
    socklen_t length = sizeof address;
    getsockname(listener, (sockaddr *)&address, &length);
    *port = ntohs(address.sin_port);
    return listener;
}

bool Readable(RawSocket socket, int milliseconds)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    timeval wait = {milliseconds / 1000, (milliseconds % 1000) * 1000};
    return select((int)socket + 1, &set, nullptr, nullptr, &wait) > 0;
}

bool ReadRequest(RawSocket socket, HttpRequest *request)
{
    std::string text;
    char buffer[4096];
    while (text.find("\r\n\r\n") == std::string::npos) {
        if (!Readable(socket, 5000)) return false;
        int got = recv(socket, buffer, sizeof buffer, 0);
        if (got <= 0) return false;
        text.append(buffer, got);
        if (text.size() > 1 << 20) return false;
    }
    size_t lineEnd = text.find("\r\n");
    std::string line = text.substr(0, lineEnd);
    size_t space = line.find(' '), second = line.find(' ', space + 1);
    if (space == std::string::npos || second == std::string::npos) return false;
    request->method = line.substr(0, space);
    request->target = line.substr(space + 1, second - space - 1);
    size_t start = lineEnd + 2, headersEnd = text.find("\r\n\r\n");
    while (start < headersEnd) {
        size_t end = text.find("\r\n", start);
        std::string header = text.substr(start, end - start);
        size_t colon = header.find(':');
        if (colon != std::string::npos) {
            std::string name = header.substr(0, colon);
            for (char &c : name) c = (char)tolower((unsigned char)c);
            size_t value = header.find_first_not_of(' ', colon + 1);
            request->headers[name] = value == std::string::npos ? "" : header.substr(value);
        }
        start = end + 2;
    }
    return true;
}

}  // namespace

void PauseMs(unsigned milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

Connection::~Connection()
{
    if (!reset_) {
#ifdef _WIN32
        shutdown((RawSocket)socket_, SD_SEND);
#else
        shutdown((RawSocket)socket_, SHUT_WR);
#endif
        // Let the client read everything before the socket goes.
        char drain[512];
        while (Readable((RawSocket)socket_, 200) && recv((RawSocket)socket_, drain, sizeof drain, 0) > 0) {
        }
    }
    CloseSocket((RawSocket)socket_);
}

bool Connection::Send(const std::string &bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        int now = send((RawSocket)socket_, bytes.data() + sent, (int)(bytes.size() - sent), kSendFlags);
        if (now <= 0) return false;
        sent += now;
    }
    return true;
}

void Connection::Reset()
{
    linger hard = {1, 0};
    setsockopt((RawSocket)socket_, SOL_SOCKET, SO_LINGER, (const char *)&hard, sizeof hard);
    reset_ = true;
}

TestHttpServer::TestHttpServer()
{
    listener_ = (intptr_t)ListenOnLoopback(&port_);
    acceptor_ = std::thread(&TestHttpServer::AcceptLoop, this);
}

TestHttpServer::~TestHttpServer()
{
    stopping_ = true;
    acceptor_.join();
    CloseSocket((RawSocket)listener_);
    for (std::thread &worker : workers_) worker.join();
}

std::string TestHttpServer::Url(const std::string &path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void TestHttpServer::Route(const std::string &path, Handler handler)
{
    std::lock_guard<std::mutex> hold(lock_);
    routes_[path] = handler;
}

std::vector<HttpRequest> TestHttpServer::Requests() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return requests_;
}

void TestHttpServer::AcceptLoop()
{
    while (!stopping_) {
        if (!Readable((RawSocket)listener_, 50)) continue;
        RawSocket client = accept((RawSocket)listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET) continue;
        std::lock_guard<std::mutex> hold(lock_);
        workers_.emplace_back(&TestHttpServer::Serve, this, (intptr_t)client);
    }
}

void TestHttpServer::Serve(intptr_t client)
{
    Connection connection(client);
    HttpRequest request;
    if (!ReadRequest((RawSocket)client, &request)) return;
    Handler handler;
    {
        std::lock_guard<std::mutex> hold(lock_);
        requests_.push_back(request);
        // A route names a target, or its path with any query.
        auto found = routes_.find(request.target);
        if (found == routes_.end()) found = routes_.find(request.target.substr(0, request.target.find('?')));
        if (found != routes_.end()) handler = found->second;
    }
    if (!handler) handler = Respond(404, "no such path\n");
    handler(connection, request);
}

unsigned short UnusedPort()
{
    unsigned short port = 0;
    RawSocket listener = ListenOnLoopback(&port);
    CloseSocket(listener);
    return port;
}

std::string StatusLine(int status)
{
    const char *reason = status == 200 ? "OK" : status == 404 ? "Not Found" : status < 300 ? "OK"
                       : status < 400 ? "Redirect" : status < 500 ? "Client Error" : "Server Error";
    return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
}

Handler Respond(int status, const std::string &body, const std::string &extraHeaders)
{
    return [=](Connection &connection, const HttpRequest &) {
        connection.Send(StatusLine(status) + "Content-Length: " + std::to_string(body.size()) +
                        "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body);
    };
}

Handler RespondInPieces(const std::string &body, size_t pieceSize, unsigned pauseMs)
{
    return [=](Connection &connection, const HttpRequest &) {
        if (!connection.Send(StatusLine(200) + "Content-Length: " + std::to_string(body.size()) +
                             "\r\nConnection: close\r\n\r\n"))
            return;
        for (size_t at = 0; at < body.size(); at += pieceSize) {
            if (!connection.Send(body.substr(at, pieceSize))) return;
            PauseMs(pauseMs);
        }
    };
}

Handler RespondChunked(const std::string &body, size_t chunkSize, const std::string &extraHeaders,
                       const std::string &trailer)
{
    return [=](Connection &connection, const HttpRequest &) {
        std::string out = StatusLine(200) + "Transfer-Encoding: chunked\r\nConnection: close\r\n" + extraHeaders + "\r\n";
        for (size_t at = 0; at < body.size(); at += chunkSize) {
            std::string chunk = body.substr(at, chunkSize);
            char size[32];
            snprintf(size, sizeof size, "%zx\r\n", chunk.size());
            out += size + chunk + "\r\n";
        }
        connection.Send(out + "0\r\n" + trailer + "\r\n");
    };
}

Handler Redirect(int status, const std::string &location)
{
    return Respond(status, "moved\n", "Location: " + location + "\r\n");
}

Handler Truncated(const std::string &body, size_t sent)
{
    return [=](Connection &connection, const HttpRequest &) {
        connection.Send(StatusLine(200) + "Content-Length: " + std::to_string(body.size()) +
                        "\r\nConnection: close\r\n\r\n" + body.substr(0, sent));
    };
}

Handler ResetAfter(const std::string &body, size_t sent)
{
    return [=](Connection &connection, const HttpRequest &) {
        connection.Send(StatusLine(200) + "Content-Length: " + std::to_string(body.size()) +
                        "\r\nConnection: close\r\n\r\n" + body.substr(0, sent));
        PauseMs(100);
        connection.Reset();
    };
}
