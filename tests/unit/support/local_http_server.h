// A tiny HTTP server on 127.0.0.1 for unit tests: one thread, one connection
// at a time; each request is recorded, answered by the handler and closed.
#ifndef TESTS_UNIT_SUPPORT_LOCAL_HTTP_SERVER_H
#define TESTS_UNIT_SUPPORT_LOCAL_HTTP_SERVER_H

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct HttpRequest {
    std::string method;
    std::string target; // path and query as sent
    std::string headers; // the header lines, CR LF separated
    std::string body;
};

struct HttpReply {
    int status = 200;
    std::string body; // may hold NUL bytes
    std::string headers; // further header lines, each ending in CR LF
};

class LocalHttpServer {
public:
    using Handler = std::function<HttpReply(const HttpRequest&)>;

    // Without a handler every request gets status 200 and the body "{}".
    explicit LocalHttpServer(Handler handler = Handler());
    ~LocalHttpServer();
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    int Port() const { return m_port; }
    // "http://127.0.0.1:<port>" followed by path.
    std::string Url(const std::string& path = "/") const;
    // Every request received so far, oldest first.
    std::vector<HttpRequest> Requests() const;

private:
    void Serve();
    void HandleConnection(int fd);

    Handler m_handler;
    int m_listenFd = -1;
    int m_port = 0;
    mutable std::mutex m_mutex;
    std::vector<HttpRequest> m_requests;
    std::thread m_thread;
};

// A socket listening on an OS-chosen loopback port, which goes into port;
// throws std::runtime_error when it cannot listen.
int ListenOnLoopback(int& port);

// A loopback port on which nothing listens: connecting to it is refused.
int RefusingPort();

#endif
