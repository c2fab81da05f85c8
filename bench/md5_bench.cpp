// Throughput of the MD5 class against OpenSSL's EVP MD5 on the same buffers,
// with the ratio ours/OpenSSL per message size printed at the end.
#include "module_manager/md5.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

const int64_t kSizes[] = {64, 4 << 10, 1 << 20, 256 << 20};

const std::vector<unsigned char>& Data()
{
    static const std::vector<unsigned char> data = [] {
        std::vector<unsigned char> v(static_cast<size_t>(256) << 20);
        uint64_t x = 0x9e3779b97f4a7c15ull;
        for (auto& byte : v) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            byte = static_cast<unsigned char>(x >> 32);
        }
        return v;
    }();
    return data;
}

void Ours(benchmark::State& state)
{
    const auto size = static_cast<MD5::size_type>(state.range(0));
    const unsigned char* p = Data().data();
    for (auto _ : state) {
        MD5 digest;
        digest.update(p, size);
        digest.finalize();
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void OpenSsl(benchmark::State& state)
{
    const auto size = static_cast<size_t>(state.range(0));
    const unsigned char* p = Data().data();
    EVP_MD* md = EVP_MD_fetch(nullptr, "MD5", nullptr);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int outLen = 0;
    for (auto _ : state) {
        EVP_DigestInit_ex2(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, p, size);
        EVP_DigestFinal_ex(ctx, out, &outLen);
        benchmark::DoNotOptimize(out);
    }
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// Prints as usual and keeps bytes_per_second of every run for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Colour only on a terminal, as the library's own console output does.
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_None) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const auto& run : runs) {
            auto it = run.counters.find("bytes_per_second");
            if (run.run_type == Run::RT_Iteration && !run.error_occurred && it != run.counters.end())
                rates[run.run_name.function_name][run.run_name.args].push_back(it->second.value);
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintRatios() const
    {
        for (int64_t size : kSizes) {
            const std::string arg = std::to_string(size);
            double ours = Median("ours", arg), theirs = Median("openssl", arg);
            if (ours > 0 && theirs > 0)
                std::printf("ratio %s: %.3f\n", Label(size).c_str(), ours / theirs);
        }
    }

private:
    double Median(const std::string& name, const std::string& arg) const
    {
        auto byName = rates.find(name);
        if (byName == rates.end())
            return 0;
        auto byArg = byName->second.find(arg);
        if (byArg == byName->second.end() || byArg->second.empty())
            return 0;
        std::vector<double> v = byArg->second;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }

    static std::string Label(int64_t size)
    {
        if (size >= (1 << 20))
            return std::to_string(size >> 20) + "MiB";
        if (size >= (1 << 10))
            return std::to_string(size >> 10) + "KiB";
        return std::to_string(size) + "B";
    }

    std::map<std::string, std::map<std::string, std::vector<double>>> rates;
};

} // namespace

int main(int argc, char** argv)
{
    // Ours and OpenSSL alternate per size so that clock drift hits both alike.
    for (int64_t size : kSizes) {
        benchmark::RegisterBenchmark("ours", Ours)->Arg(size);
        benchmark::RegisterBenchmark("openssl", OpenSsl)->Arg(size);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    Data(); // fill the buffer before any timing starts
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
