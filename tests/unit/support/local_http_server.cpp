#include "support/local_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <future>
#include <stdexcept>

int ListenOnLoopback(int& port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port = ntohs(addr.sin_port);
    return fd;
}

namespace {

bool SendAll(int fd, const std::string& text)
{
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// The value of a header, names compared without regard to case; empty if absent.
std::string HeaderValue(const std::string& headers, const char* name)
{
    size_t start = 0;
    const size_t nameLen = strlen(name);
    while (start < headers.size()) {
        size_t end = headers.find("\r\n", start);
        if (end == std::string::npos)
            end = headers.size();
        std::string line = headers.substr(start, end - start);
        if (line.size() > nameLen && line[nameLen] == ':' && strncasecmp(line.c_str(), name, nameLen) == 0) {
            size_t v = line.find_first_not_of(' ', nameLen + 1);
            return v == std::string::npos ? std::string() : line.substr(v);
        }
        start = end + 2;
    }
    return std::string();
}

} // namespace

LocalHttpServer::LocalHttpServer(Handler handler) : m_handler(std::move(handler))
{
    m_listenFd = ListenOnLoopback(m_port);
    // Tests fork right after this. The serving thread must be past its
    // start-up, which allocates: a child forked meanwhile could inherit a
    // lock of the allocator held (seen under AddressSanitizer) and hang.
    std::promise<void> started;
    std::future<void> running = started.get_future();
    m_thread = std::thread([this, &started] {
        started.set_value();
        Serve();
    });
    running.wait();
}

LocalHttpServer::~LocalHttpServer()
{
    // Wakes the blocked accept; the loop then ends.
    shutdown(m_listenFd, SHUT_RDWR);
    m_thread.join();
    close(m_listenFd);
}

std::string LocalHttpServer::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

std::vector<HttpRequest> LocalHttpServer::Requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

void LocalHttpServer::Serve()
{
    for (;;) {
        int fd = accept(m_listenFd, nullptr, nullptr);
        if (fd < 0)
            return;
        HandleConnection(fd);
        close(fd);
    }
}

void LocalHttpServer::HandleConnection(int fd)
{
    std::string in;
    char chunk[4096];
    size_t headEnd;
    while ((headEnd = in.find("\r\n\r\n")) == std::string::npos) {
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return;
        in.append(chunk, static_cast<size_t>(n));
    }
    HttpRequest request;
    const std::string head = in.substr(0, headEnd);
    const size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    request.headers = lineEnd == std::string::npos ? std::string() : head.substr(lineEnd + 2);
    const size_t sp1 = requestLine.find(' ');
    const size_t sp2 = requestLine.find(' ', sp1 + 1);
    request.method = requestLine.substr(0, sp1);
    request.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);

    const size_t length = strtoul(HeaderValue(request.headers, "Content-Length").c_str(), nullptr, 10);
    if (strcasecmp(HeaderValue(request.headers, "Expect").c_str(), "100-continue") == 0)
        SendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n");
    request.body = in.substr(headEnd + 4);
    while (request.body.size() < length) {
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            break;
        request.body.append(chunk, static_cast<size_t>(n));
    }

    HttpReply reply;
    if (m_handler)
        reply = m_handler(request);
    else
        reply.body = "{}";
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.push_back(request);
    }
    SendAll(fd, "HTTP/1.1 " + std::to_string(reply.status) + " Test\r\nContent-Length: " +
                    std::to_string(reply.body.size()) + "\r\nConnection: close\r\n" + reply.headers + "\r\n" +
                    reply.body);
}

int RefusingPort()
{
    // A port just handed out by the kernel and released again.
    int port = 0;
    close(ListenOnLoopback(port));
    return port;
}
