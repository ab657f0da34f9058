// Latency of one command run through the runner: a bare program, and a one-line shell command.
#include <benchmark/benchmark.h>

#include "framework/process/TaskHelper.h"

using calix::TaskHelper;

namespace {

void BM_RunTrue(benchmark::State& state) {
    auto& runner = TaskHelper::sharedInstance();
    for (auto _ : state) {
        auto handle = runner.excuteTaskPath("/bin/true", {});
        benchmark::DoNotOptimize(handle);
    }
}
BENCHMARK(BM_RunTrue)->Unit(benchmark::kMicrosecond);

void BM_RunBashEcho(benchmark::State& state) {
    auto& runner = TaskHelper::sharedInstance();
    std::string text;
    for (auto _ : state) {
        runner.excuteTaskPath("/bin/bash", {"-c", "echo hi"}, &text);
        if (text != "hi\n") state.SkipWithError("unexpected output");
    }
}
BENCHMARK(BM_RunBashEcho)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
