// A scripted HTTP/1.1 server on loopback for the tests: each path answers with
// a handler that writes whatever bytes the test wants, as slowly or as
// brokenly as it wants. One thread per connection; every response closes its
// connection.
#ifndef TESTS_HTTP_SERVER_H
#define TESTS_HTTP_SERVER_H

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct HttpRequest {
    std::string method;
    std::string target;
    std::map<std::string, std::string> headers;  // names in lower case
};

class Connection {
public:
    explicit Connection(intptr_t socket) : socket_(socket) {}
    ~Connection();
    // Sends every byte; false once the peer has gone.
    bool Send(const std::string &bytes);
    // Ends the connection with a reset instead of an orderly close.
    void Reset();
    intptr_t socket_;
    bool reset_ = false;
};

using Handler = std::function<void(Connection &, const HttpRequest &)>;

class TestHttpServer {
public:
    TestHttpServer();
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer &) = delete;
    TestHttpServer &operator=(const TestHttpServer &) = delete;

    unsigned short Port() const { return port_; }
    std::string Url(const std::string &path) const;
    void Route(const std::string &path, Handler handler);
    std::vector<HttpRequest> Requests() const;

private:
    void AcceptLoop();
    void Serve(intptr_t client);

    intptr_t listener_;
    unsigned short port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    mutable std::mutex lock_;
    std::map<std::string, Handler> routes_;
    std::vector<HttpRequest> requests_;
    std::vector<std::thread> workers_;
};

// A port on loopback where nothing listens.
unsigned short UnusedPort();

void PauseMs(unsigned milliseconds);

// Canned answers.
std::string StatusLine(int status);
Handler Respond(int status, const std::string &body, const std::string &extraHeaders = "");
Handler RespondInPieces(const std::string &body, size_t pieceSize, unsigned pauseMs);
Handler RespondChunked(const std::string &body, size_t chunkSize, const std::string &extraHeaders = "",
                       const std::string &trailer = "");
Handler Redirect(int status, const std::string &location);
// Announces the whole body's length, sends `sent` bytes of it, then closes
// the connection cleanly (or with a reset).
Handler Truncated(const std::string &body, size_t sent);
Handler ResetAfter(const std::string &body, size_t sent);

#endif
