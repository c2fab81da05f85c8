// A package's download and digest check through the agent (CAgent::Download
// then CAgent::CheckMd5) against `curl -s -o FILE URL && md5sum FILE`, both
// fetching the same package from a loopback HTTP server that streams it from
// a file with sendfile. Prints the throughput ratio ours/theirs and the peak
// RSS growth of the agent's part. --package_mib=N sets the size (1024).
// Each round starts without the previous round's file, removed untimed on
// both sides: the agent always downloads into a fresh file, since the
// package goes after every installer run.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include "agent/agent.h"
#include "module_manager/md5.h"
#include "module_manager/module_paths.h"
#include "support/local_http_server.h"
#include "support/proc_status.h"

namespace {

int64_t g_packageBytes = int64_t(1024) << 20;
std::string g_area; // /tmp/quillmar-bench-XXXXXX
std::string g_url;
std::string g_md5;
pid_t g_server = -1;

// The package: pseudo-random bytes, written in 1 MiB pieces; its digest too.
void WritePackage(const std::string& path)
{
    std::vector<unsigned char> piece(1 << 20);
    uint64_t x = 0x9e3779b97f4a7c15ull;
    MD5 digest;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (int64_t done = 0; done < g_packageBytes; done += static_cast<int64_t>(piece.size())) {
        const size_t n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(piece.size()),
                                                                g_packageBytes - done));
        for (size_t i = 0; i < n; ++i) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            piece[i] = static_cast<unsigned char>(x >> 32);
        }
        digest.update(piece.data(), static_cast<MD5::size_type>(n));
        if (write(fd, piece.data(), n) != static_cast<ssize_t>(n)) {
            perror("write package");
            exit(1);
        }
    }
    close(fd);
    digest.finalize();
    g_md5 = digest.hexdigest();
}

// One GET per connection, answered 200 with the file streamed by sendfile.
[[noreturn]] void Serve(int listenFd, const std::string& path)
{
    for (;;) {
        const int fd = accept(listenFd, nullptr, nullptr);
        if (fd < 0)
            _exit(0);
        std::string head;
        char buf[4096];
        while (head.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            head.append(buf, static_cast<size_t>(n));
        }
        const int file = open(path.c_str(), O_RDONLY);
        struct stat st;
        fstat(file, &st);
        const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(st.st_size) +
                                  "\r\nConnection: close\r\n\r\n";
        send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        off_t offset = 0;
        while (offset < st.st_size && sendfile(fd, file, &offset, static_cast<size_t>(st.st_size - offset)) > 0) {
        }
        close(file);
        close(fd);
    }
}

void StartServer(const std::string& path)
{
    int port = 0;
    const int fd = ListenOnLoopback(port);
    g_url = "http://127.0.0.1:" + std::to_string(port) + "/package";
    g_server = fork();
    if (g_server == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        Serve(fd, path);
    }
    close(fd);
}

// The agent's installation layout under the area; the working directory is
// its bin/, as for the agent.
void LayOutRoot()
{
    char tmpl[] = "/tmp/quillmar-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        perror("mkdtemp");
        exit(1);
    }
    g_area = tmpl;
    for (const char* dir : {"/root", "/root/bin", "/root/etc", "/root/logs"})
        mkdir((g_area + dir).c_str(), 0755);
    std::ofstream(g_area + "/root/etc/base.conf") << "checktime=5\ninterval=60\nurl=http://127.0.0.1:1/\ntimeout=0\n";
    if (chdir((g_area + "/root/bin").c_str()) != 0) {
        perror("chdir");
        exit(1);
    }
}

// Removes the previous round's file outside the timed part: truncating an
// existing 1 GiB file costs time of its own.
void RemoveUntimed(benchmark::State& state, const std::string& path)
{
    state.PauseTiming();
    remove(path.c_str());
    state.ResumeTiming();
}

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void Ours(benchmark::State& state)
{
    static CAgent agent;
    double download = 0, check = 0;
    long growth = 0;
    for (auto _ : state) {
        RemoveUntimed(state, kPackagePath);
        ResetPeakRss();
        const long before = StatusKiB("VmRSS");
        const auto start = std::chrono::steady_clock::now();
        if (agent.Download(g_url) != 0) {
            state.SkipWithError("download failed");
            break;
        }
        download = Seconds(start);
        const auto checkStart = std::chrono::steady_clock::now();
        if (agent.CheckMd5(g_md5) != 0) {
            state.SkipWithError("md5 check failed");
            break;
        }
        check = Seconds(checkStart);
        growth = std::max(growth, StatusKiB("VmHWM") - before);
    }
    state.SetBytesProcessed(state.iterations() * g_packageBytes);
    state.counters["download_s"] = download;
    state.counters["md5_s"] = check;
    state.counters["rss_growth_KiB"] = static_cast<double>(growth);
}

void CurlAndMd5sum(benchmark::State& state)
{
    const std::string file = g_area + "/curl.out";
    const std::string fetch = "curl -s -o " + file + " " + g_url;
    const std::string check = "md5sum " + file + " > " + g_area + "/md5sum.out";
    double download = 0, digest = 0;
    for (auto _ : state) {
        RemoveUntimed(state, file);
        const auto start = std::chrono::steady_clock::now();
        if (system(fetch.c_str()) != 0) {
            state.SkipWithError("curl failed");
            break;
        }
        download = Seconds(start);
        const auto checkStart = std::chrono::steady_clock::now();
        if (system(check.c_str()) != 0) {
            state.SkipWithError("md5sum failed");
            break;
        }
        digest = Seconds(checkStart);
    }
    std::ifstream in(g_area + "/md5sum.out");
    std::string sum;
    in >> sum;
    if (sum != g_md5)
        state.SkipWithError("md5sum disagrees with the package's digest");
    state.SetBytesProcessed(state.iterations() * g_packageBytes);
    state.counters["download_s"] = download;
    state.counters["md5_s"] = digest;
}

// Prints as usual and keeps each run's throughput and RSS growth.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_None) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const auto& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            auto rate = run.counters.find("bytes_per_second");
            if (rate != run.counters.end())
                m_rates[run.run_name.function_name].push_back(rate->second.value);
            auto growth = run.counters.find("rss_growth_KiB");
            if (growth != run.counters.end())
                m_growth = std::max(m_growth, growth->second.value);
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintSummary() const
    {
        const double ours = Median("ours"), theirs = Median("curl+md5sum");
        std::printf("package %lld MiB: ours %.3f GB/s, curl+md5sum %.3f GB/s (median)\n",
                    static_cast<long long>(g_packageBytes >> 20), ours / 1e9, theirs / 1e9);
        if (ours > 0 && theirs > 0)
            std::printf("ratio ours/curl+md5sum: %.3f\n", ours / theirs);
        std::printf("peak RSS growth during Download+CheckMd5: %.0f KiB\n", m_growth);
    }

private:
    double Median(const std::string& name) const
    {
        auto it = m_rates.find(name);
        if (it == m_rates.end() || it->second.empty())
            return 0;
        std::vector<double> v = it->second;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }

    std::map<std::string, std::vector<double>> m_rates;
    double m_growth = 0;
};

} // namespace

int main(int argc, char** argv)
{
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (strncmp(argv[i], "--package_mib=", 14) == 0)
            g_packageBytes = atoll(argv[i] + 14) << 20;
        else
            args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;

    curl_global_init(CURL_GLOBAL_ALL);
    LayOutRoot();
    const std::string served = g_area + "/served.bin";
    WritePackage(served);
    StartServer(served);
    // Ours and theirs alternate so that drift in the machine hits both alike.
    for (int round = 0; round < 3; ++round) {
        benchmark::RegisterBenchmark("ours", Ours)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("curl+md5sum", CurlAndMd5sum)
            ->Iterations(1)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintSummary();
    benchmark::Shutdown();

    kill(g_server, SIGTERM);
    waitpid(g_server, nullptr, 0);
    const std::string cleanup = "rm -rf " + g_area;
    return system(cleanup.c_str()) == 0 ? 0 : 1;
}
