// The cost of one cycle's health probe: CAgent::WatchModules over N watched
// modules, each with its marker and a start script that says "running" (one
// /bin/sh per module), beside system() of the same N scripts by hand.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>

#include "agent/agent.h"
#include "common/logger.h"
#include "support/temp_root.h"

namespace {

const char kRunning[] = "#!/bin/sh\nexit 1\n";

// N modules under the root's area, watched by agent when given.
void LayOut(const TempRoot& root, int modules, CAgent* agent)
{
    mkdir("../modules", 0755);
    for (int i = 0; i < modules; ++i) {
        const std::string name = "module-" + std::to_string(i);
        const std::string dir = root.area() + "/" + name;
        mkdir(dir.c_str(), 0755);
        mkdir((dir + "/admin").c_str(), 0755);
        root.WriteFile("modules/" + name, "");
        const std::string script = dir + "/admin/trystart.sh";
        FILE* file = fopen(script.c_str(), "w");
        if (file != nullptr) {
            fputs(kRunning, file);
            fclose(file);
        }
        chmod(script.c_str(), 0755);
        if (agent != nullptr) {
            ModuleInfo module;
            module.moduleId = 100 + i;
            module.name = name;
            module.installPath = dir;
            agent->m_modules.push_back(module);
        }
    }
}

void WatchModules(benchmark::State& state)
{
    TempRoot root;
    root.WriteConf("checktime=5\ninterval=60\ntimeout=5\nurl=http://127.0.0.1:1/quillmar\n");
    CAgent agent;
    LayOut(root, static_cast<int>(state.range(0)), &agent);
    for (auto _ : state)
        agent.WatchModules();
    for (const ModuleInfo& module : agent.m_modules) {
        if (module.failCount != 0)
            state.SkipWithError("a probe was counted");
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    // The log lies in this root, which goes at the end of the scope.
    Common::CLogger::GetInstance()->Flush(2000);
}

void SystemByHand(benchmark::State& state)
{
    TempRoot root;
    LayOut(root, static_cast<int>(state.range(0)), nullptr);
    for (auto _ : state) {
        for (int i = 0; i < state.range(0); ++i) {
            const std::string script = root.area() + "/module-" + std::to_string(i) + "/admin/trystart.sh";
            benchmark::DoNotOptimize(system(script.c_str()));
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

} // namespace

BENCHMARK(WatchModules)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(SystemByHand)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
