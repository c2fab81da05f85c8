// Cost of one log call in the calling thread, and lines per second that reach
// the file, for Common::CLogger beside spdlog's asynchronous file logger.
//
// Keeping the comparison honest: our logger drops a line when 1000 are queued,
// while spdlog (8192 slots, overflow policy "block") makes the caller wait.
//  - CallCost times bursts of 500 calls, below both limits, and lets each
//    writer drain between bursts outside the timed region: neither logger
//    drops nor blocks, so the per-call figures compare like with like.
//  - Flood calls as fast as it can from 1 or 4 threads and times until every
//    line that will arrive is in the file. Only lines counted in the file after
//    the run count toward lines per second, and the fraction of calls that
//    made it ("accepted") is printed beside the per-call cost, which is cheaper
//    for a dropped line than for a blocked one.
// Lines are about 100 bytes in both: "[date time][level]" and a ~72-byte text.
#include "common/logger.h"

#include <benchmark/benchmark.h>
#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBurst = 500;
constexpr int kBursts = 80;         // 40000 lines: below one rotation
constexpr int kFloodLines = 40000;  // per iteration, spread over the producers
constexpr unsigned kFlushMs = 30000;

// Summed over every repetition of a benchmark.
struct Figures {
    double callSeconds = 0;  // time spent in calls, summed over producers
    double totalSeconds = 0;  // until the last line was in the file (flood only)
    double calls = 0;
    double written = 0;
    double CallNs() const { return callSeconds * 1e9 / calls; }
    double LinesPerSecond() const { return totalSeconds > 0 ? written / totalSeconds : 0; }
    double Accepted() const { return written / calls; }
};
std::map<std::string, Figures> g_figures;

std::string FreshDir()
{
    static int run = 0;
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("quillmar-bench-" + std::to_string(getpid()) + "-" + std::to_string(run++));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir.string();
}

size_t CountLines(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    size_t lines = 0;
    char buffer[1 << 16];
    while (in.read(buffer, sizeof(buffer)) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i) {
            lines += buffer[i] == '\n';
        }
    }
    return lines;
}

// The two loggers behind one face: log a line, wait until it is all written.
class Quillmar {
public:
    explicit Quillmar(const std::string& dir) : m_path(dir + "/bench.log"), m_logger(dir.c_str(), "bench.log", 2) {}
    void Log(int i)
    {
        m_logger.Info("request %d sent to management server, status %s, elapsed %d ms, retry %d", i, "ok", i % 997,
                      i % 5);
    }
    void Drain() { m_logger.Flush(kFlushMs); }
    // Everything is written once Drain has returned.
    size_t Finish()
    {
        Drain();
        return CountLines(m_path);
    }

private:
    std::string m_path;
    Common::CLogger m_logger;
};

class Spdlog {
public:
    explicit Spdlog(const std::string& dir)
        : m_path(dir + "/bench.log"), m_pool(std::make_shared<spdlog::details::thread_pool>(8192, 1))
    {
        auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(m_path);
        m_logger = std::make_shared<spdlog::async_logger>("bench", sink, m_pool, spdlog::async_overflow_policy::block);
        m_logger->set_pattern("[%Y-%m-%d %H:%M:%S][%l]%v");
    }
    void Log(int i)
    {
        m_logger->info("request {} sent to management server, status {}, elapsed {} ms, retry {}", i, "ok", i % 997,
                       i % 5);
    }
    void Drain()
    {
        while (m_pool->queue_size() > 0) {
            std::this_thread::yield();
        }
    }
    // Joins the worker and closes the sink, so every line is in the file.
    size_t Finish()
    {
        m_logger.reset();
        m_pool.reset();
        return CountLines(m_path);
    }

private:
    std::string m_path;
    std::shared_ptr<spdlog::details::thread_pool> m_pool;
    std::shared_ptr<spdlog::async_logger> m_logger;
};

template <class Logger>
void CallCost(benchmark::State& state, const char* name)
{
    std::string dir = FreshDir();
    Logger logger(dir);
    double seconds = 0;
    int calls = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        for (int i = 0; i < kBurst; ++i) {
            logger.Log(calls + i);
        }
        double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(elapsed);
        seconds += elapsed;
        calls += kBurst;
        logger.Drain();
    }
    size_t written = logger.Finish();
    Figures& f = g_figures[std::string("call cost, bursts of 500: ") + name];
    f.callSeconds += seconds;
    f.calls += calls;
    f.written += static_cast<double>(written);
    state.counters["call_ns"] = seconds * 1e9 / calls;
    state.counters["accepted"] = static_cast<double>(written) / calls;
    state.SetItemsProcessed(calls);
    std::filesystem::remove_all(dir);
}

template <class Logger>
void Flood(benchmark::State& state, const char* name)
{
    const int producers = static_cast<int>(state.range(0));
    double callSeconds = 0;  // summed over producers
    double totalSeconds = 0;
    size_t written = 0;
    size_t calls = 0;
    for (auto _ : state) {
        std::string dir = FreshDir();
        {
            Logger logger(dir);
            std::vector<double> spent(static_cast<size_t>(producers));
            auto start = Clock::now();
            std::vector<std::thread> threads;
            for (int t = 0; t < producers; ++t) {
                threads.emplace_back([&, t] {
                    auto mine = Clock::now();
                    for (int i = t; i < kFloodLines; i += producers) {
                        logger.Log(i);
                    }
                    spent[static_cast<size_t>(t)] = std::chrono::duration<double>(Clock::now() - mine).count();
                });
            }
            for (std::thread& thread : threads) {
                thread.join();
            }
            size_t lines = logger.Finish();
            double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            state.SetIterationTime(elapsed);
            totalSeconds += elapsed;
            for (double s : spent) {
                callSeconds += s;
            }
            written += lines;
            calls += kFloodLines;
        }
        std::filesystem::remove_all(dir);
    }
    Figures& f = g_figures["flood, " + std::to_string(producers) + " producer(s): " + name];
    f.callSeconds += callSeconds;
    f.totalSeconds += totalSeconds;
    f.calls += static_cast<double>(calls);
    f.written += static_cast<double>(written);
    state.counters["call_ns"] = callSeconds * 1e9 / static_cast<double>(calls);
    state.counters["lines_per_s"] = static_cast<double>(written) / totalSeconds;
    state.counters["accepted"] = static_cast<double>(written) / static_cast<double>(calls);
}

void BM_CallCost_Quillmar(benchmark::State& state) { CallCost<Quillmar>(state, "quillmar"); }
void BM_CallCost_Spdlog(benchmark::State& state) { CallCost<Spdlog>(state, "spdlog"); }
void BM_Flood_Quillmar(benchmark::State& state) { Flood<Quillmar>(state, "quillmar"); }
void BM_Flood_Spdlog(benchmark::State& state) { Flood<Spdlog>(state, "spdlog"); }

// Fixed iteration counts keep every run below one rotation, so counting the
// current file counts every line written.
BENCHMARK(BM_CallCost_Quillmar)->Iterations(kBursts)->Repetitions(5)->UseManualTime();
BENCHMARK(BM_CallCost_Spdlog)->Iterations(kBursts)->Repetitions(5)->UseManualTime();
BENCHMARK(BM_Flood_Quillmar)->Arg(1)->Arg(4)->Iterations(5)->Repetitions(3)->UseManualTime();
BENCHMARK(BM_Flood_Spdlog)->Arg(1)->Arg(4)->Iterations(5)->Repetitions(3)->UseManualTime();

void PrintRatios()
{
    printf("\n%-48s %10s %14s %9s\n", "figure", "call ns", "lines/s", "accepted");
    for (const auto& [name, f] : g_figures) {
        printf("%-48s %10.1f %14.0f %9.4f\n", name.c_str(), f.CallNs(), f.LinesPerSecond(), f.Accepted());
    }
    printf("\nquillmar / spdlog:\n");
    for (const auto& [name, f] : g_figures) {
        size_t colon = name.rfind(": ");
        if (name.compare(colon + 2, std::string::npos, "quillmar") != 0) {
            continue;
        }
        auto other = g_figures.find(name.substr(0, colon) + ": spdlog");
        if (other == g_figures.end()) {
            continue;
        }
        const Figures& s = other->second;
        printf("  %-40s call cost %.2fx", name.substr(0, colon).c_str(), f.CallNs() / s.CallNs());
        if (s.LinesPerSecond() > 0) {
            printf(", lines/s reaching the file %.2fx", f.LinesPerSecond() / s.LinesPerSecond());
        }
        printf("\n");
    }
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    PrintRatios();
    benchmark::Shutdown();
    return 0;
}
