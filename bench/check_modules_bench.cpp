// One "CheckModules" pass over an answer of N status-0 items, through the
// agent's real exchange against a loopback server in a child process: the
// time of a pass, the peak RSS growth during one and the RSS it leaves
// behind (what the agent sleeps with until the next pass), each beside the
// answer's size. Every pass but the first reports N watched modules, as a
// steady agent does. Ends with a table per N: the median pass with the
// fastest and slowest, its cost per item in wall and in CPU time of the
// pass's thread, the peak growth and the RSS left, to see that cost grows
// linearly with the answer.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <malloc.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include "agent/agent.h"
#include "common/logger.h"
#include "support/local_http_server.h"
#include "support/proc_status.h"
#include "support/temp_root.h"

namespace {

const char kUuid[] = "6f1c2a9e-3b47-4d58-9e0a-2c5b7d8e9f10";

std::string Answer(int items)
{
    std::string text = "{\"returnCode\":0,\"returnMsg\":\"ok\",\"returnData\":[";
    // Ids from 100 on: 5 would stand for the agent itself, which is not watched.
    for (int i = 0; i < items; ++i) {
        const std::string n = std::to_string(100 + i);
        text += (i ? ",{" : "{") + std::string("\"status\":0,\"moduleId\":") + n + ",\"fileId\":" + n +
                "0,\"name\":\"module-" + n + "\",\"installPath\":\"../modules-dir/module-" + n +
                "\",\"uri\":\"http://repo.example/packages/module-" + n +
                ".bin\",\"md5\":\"0123456789abcdef0123456789abcdef\"}";
    }
    return text + "]}";
}

// A loopback server in a child process, so its memory is not the agent's:
// the UUID for any GET, the answer for any POST. Returns its port.
int StartServer(const std::string& answer, pid_t& child)
{
    int ports[2];
    if (pipe(ports) != 0)
        return -1;
    child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        LocalHttpServer server([&answer](const HttpRequest& request) {
            HttpReply reply;
            reply.body = request.method == "GET" ? std::string(kUuid) : answer;
            return reply;
        });
        const int port = server.Port();
        if (write(ports[1], &port, sizeof port) != sizeof port)
            _exit(1);
        for (;;)
            pause();
    }
    int port = -1;
    if (read(ports[0], &port, sizeof port) != sizeof port)
        port = -1;
    close(ports[0]);
    close(ports[1]);
    return port;
}

// Per pass of one run, in the order run.
struct Figures {
    double answerMiB = 0;
    std::vector<double> seconds, cpuSeconds, peakMiB, heldMiB;
};

// The middle value (the upper one of an even count); 0 when there is none.
double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// CPU time of the calling thread (the pass runs on it; the log writer and the
// server do not count).
double ThreadCpuSeconds()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}
std::map<int, Figures> g_figures;

void Pass(benchmark::State& state)
{
    const int items = static_cast<int>(state.range(0));
    const std::string answer = Answer(items);
    pid_t server = -1;
    const int port = StartServer(answer, server);
    TempRoot root;
    mkdir("../modules", 0755);
    const std::string url = "http://127.0.0.1:" + std::to_string(port);
    root.WriteConf("checktime=5\ninterval=60\ntimeout=60\nurl=" + url + "/quillmar\nmetadata_url=" + url + "/uuid\n");
    {
        CAgent agent;
        // The first pass fills the watched list; the measured ones report it.
        if (port < 0 || agent.CheckModules() != 0 || agent.m_modules.size() != static_cast<size_t>(items)) {
            state.SkipWithError("first pass failed");
        } else {
            Figures& figures = g_figures[items];
            figures = Figures();
            figures.answerMiB = answer.size() / 1048576.0;
            for (auto _ : state) {
                // Memory the last pass freed goes back first, so the peak is
                // this pass's own.
                malloc_trim(0);
                ResetPeakRss();
                const long before = StatusKiB("VmRSS");
                const auto start = std::chrono::steady_clock::now();
                const double cpuStart = ThreadCpuSeconds();
                if (agent.CheckModules() != 0)
                    state.SkipWithError("pass failed");
                figures.cpuSeconds.push_back(ThreadCpuSeconds() - cpuStart);
                figures.seconds.push_back(
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
                // Read before anything else runs: what the agent would sleep with.
                const long after = StatusKiB("VmRSS");
                figures.peakMiB.push_back((StatusKiB("VmHWM") - before) / 1024.0);
                figures.heldMiB.push_back((after - before) / 1024.0);
            }
            state.counters["answer_MiB"] = figures.answerMiB;
            state.counters["peak_growth_MiB"] = Median(figures.peakMiB);
            state.counters["held_MiB"] = Median(figures.heldMiB);
            state.counters["items_per_s"] =
                benchmark::Counter(items, benchmark::Counter::kIsIterationInvariantRate);
        }
        // The log lies in this root, which goes at the end of the scope.
        Common::CLogger::GetInstance()->Flush(2000);
    }
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
}

void PrintSummary()
{
    std::printf("\n%8s %11s %7s %25s %12s %12s %10s %14s %10s\n", "items", "answer MiB", "passes",
                "pass ms: median (min-max)", "us per item", "CPU us/item", "peak MiB", "peak / answer", "held MiB");
    for (const auto& entry : g_figures) {
        const Figures& f = entry.second;
        if (f.seconds.empty())
            continue;
        const double seconds = Median(f.seconds), peak = Median(f.peakMiB);
        char range[64];
        std::snprintf(range, sizeof range, "%.1f (%.1f-%.1f)", seconds * 1e3,
                      *std::min_element(f.seconds.begin(), f.seconds.end()) * 1e3,
                      *std::max_element(f.seconds.begin(), f.seconds.end()) * 1e3);
        std::printf("%8d %11.2f %7zu %25s %12.2f %12.2f %10.1f %14.2f %10.1f\n", entry.first, f.answerMiB,
                    f.seconds.size(), range, seconds * 1e6 / entry.first, Median(f.cpuSeconds) * 1e6 / entry.first,
                    peak, f.answerMiB > 0 ? peak / f.answerMiB : 0, Median(f.heldMiB));
    }
    std::printf("us and CPU us per item: of the median pass; peak: the median pass's peak RSS growth; held: the "
                "median RSS growth left when a pass returns (the agent sleeps with it)\n");
}

} // namespace

BENCHMARK(Pass)->Arg(1000)->Arg(10000)->Arg(100000)->MinTime(3)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    curl_global_init(CURL_GLOBAL_ALL);
    benchmark::RunSpecifiedBenchmarks();
    PrintSummary();
    benchmark::Shutdown();
    return 0;
}
