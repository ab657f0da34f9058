// Lines per second through the rotating logger, to disk, including the state archive writes.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>

#include "logger/RotatingLogger.h"

static void BM_LoggerLines(benchmark::State& state) {
    char tmpl[] = "/tmp/rav-bench-logger-XXXXXX";
    std::filesystem::path root = mkdtemp(tmpl);
    setenv("RAVAVIZA_ROOT", root.c_str(), 1);
    {
        LogCoreHelper logger(LogCoreHelper::defaultConfig());
        const std::string message(static_cast<size_t>(state.range(0)), 'x');
        for (auto _ : state) {
            for (int i = 0; i < 1000; ++i) logger.writeLog(message, 1);
            logger.flush();
        }
        state.SetItemsProcessed(state.iterations() * 1000);
        state.SetBytesProcessed(state.iterations() * 1000 * (state.range(0) + 23));
    }
    std::filesystem::remove_all(root);
    unsetenv("RAVAVIZA_ROOT");
}
BENCHMARK(BM_LoggerLines)->Arg(80)->Arg(400)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
