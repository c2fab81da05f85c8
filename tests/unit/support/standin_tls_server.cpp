#include "support/standin_tls_server.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "support/file_checks.h"

namespace {

// tools/standin_server.py, found from this file's place in the source tree.
std::string StandinScript()
{
    std::string here = __FILE__;
    const std::string tail = "tests/unit/support/standin_tls_server.cpp";
    return here.substr(0, here.size() - tail.size()) + "tools/standin_server.py";
}

} // namespace

StandinTlsServer::StandinTlsServer(const std::string& dir, const std::string& path, const std::string& body)
    : m_dir(dir)
{
    const std::string served = dir + "/served.bin";
    const std::string out = dir + "/standin.out";
    std::ofstream(served, std::ios::binary) << body;
    const std::string script = StandinScript();
    const std::string file = path + "=" + served;

    m_pid = fork();
    if (m_pid < 0)
        throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        execlp("python3", "python3", script.c_str(), "--host", "127.0.0.1", "--http-port", "0", "--https-port", "0",
               "--make-tls", dir.c_str(), "--file", file.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }

    const std::string marker = "listening: https://localhost:";
    for (int i = 0; i < 300; ++i) {
        const std::string text = ReadFileBytes(out);
        const size_t at = text.find(marker);
        if (at != std::string::npos && text.find('/', at + marker.size()) != std::string::npos) {
            m_port = std::stoi(text.substr(at + marker.size()));
            return;
        }
        if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1;
            throw std::runtime_error("the stand-in server ended: " + text);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(m_pid, SIGTERM);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
    throw std::runtime_error("the stand-in server did not start: " + ReadFileBytes(out));
}

StandinTlsServer::~StandinTlsServer()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
    }
}

std::string StandinTlsServer::HttpsUrl(const std::string& path) const
{
    return "https://localhost:" + std::to_string(m_port) + path;
}
