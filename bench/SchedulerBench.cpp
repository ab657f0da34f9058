// Processor time of one scheduler tick when nothing is due (the common case: 59 of 60 seconds).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>

#include "link/ZemCore.h"
#include "scheduler/CommonTimerManager.h"
#include "store/ZemConfigManager.h"

namespace {

class IdleCore : public ZemCore {
  public:
    void sendHeartBeat() override {}
    void sendHeartBeatExt() override {}
    void startListenConfigInfo() override {}
};

}  // namespace

static void BM_IdleTick(benchmark::State& state) {
    char tmpl[] = "/tmp/rav-bench-sched-XXXXXX";
    std::filesystem::path root = mkdtemp(tmpl);
    setenv("RAVAVIZA_ROOT", root.c_str(), 1);
    {
        ZemConfigManager config((root / "config.archive").string());
        CommonTimerManager::Environment env;
        env.mainCore = std::make_shared<IdleCore>();
        env.config = &config;
        env.registerNotifications = false;
        env.monitorUserLogin = [] {};
        env.probeNetworkType = [](std::function<void(int64_t)>) {};
        env.submit = [](const std::shared_ptr<dispatch::WorkQueue>&, dispatch::Task) {};
        CommonTimerManager scheduler(env);
        for (auto _ : state) scheduler.startRunloopTimer();
    }
    std::filesystem::remove_all(root);
    unsetenv("RAVAVIZA_ROOT");
}
BENCHMARK(BM_IdleTick)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
