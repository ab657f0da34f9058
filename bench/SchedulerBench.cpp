// Processor time of one scheduler tick when nothing is due (the common case: 59 of 60 seconds).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>

#include "daemon/link/ZemCore.h"
#include "daemon/scheduler/CommonTimerManager.h"
#include "daemon/store/ZemConfigManager.h"
#include "tests/support/TempRoot.h"

using hollin::CommonTimerManager;
using hollin::ZemConfigManager;
using hollin::ZemCore;

namespace {

class IdleCore : public ZemCore {
  public:
    void sendHeartBeat() override {}
    void sendHeartBeatExt() override {}
    void startListenConfigInfo() override {}
};

}  // namespace

static void BM_IdleTick(benchmark::State& state) {
    testsupport::TempRoot root("rav-bench-sched");
    {
        ZemConfigManager config(root.file("config.archive"));
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
}
BENCHMARK(BM_IdleTick)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
