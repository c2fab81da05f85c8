// The stand-in management server of tools/ run as a child process with its
// TLS listener and the test PKI it generates, serving one file over https.
#ifndef TESTS_UNIT_SUPPORT_STANDIN_TLS_SERVER_H
#define TESTS_UNIT_SUPPORT_STANDIN_TLS_SERVER_H

#include <string>

#include <sys/types.h>

class StandinTlsServer {
public:
    // Generates the PKI into dir (which must exist) and serves body at GET
    // path with the certificate for localhost, signed by CaFile().
    StandinTlsServer(const std::string& dir, const std::string& path, const std::string& body);
    ~StandinTlsServer(); // ends and reaps the server
    StandinTlsServer(const StandinTlsServer&) = delete;
    StandinTlsServer& operator=(const StandinTlsServer&) = delete;

    // "https://localhost:<port>" followed by path.
    std::string HttpsUrl(const std::string& path) const;
    std::string CaFile() const { return m_dir + "/ca.pem"; }
    // A CA that signed none of the server's certificates.
    std::string OtherCaFile() const { return m_dir + "/other-ca.pem"; }

private:
    std::string m_dir;
    pid_t m_pid = -1;
    int m_port = 0;
};

#endif
