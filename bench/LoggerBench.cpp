// Lines per second through the rotating logger, to disk, including the state archive writes.
// Writing happens on the logger's own thread, so the rate is taken in real time (the calling
// thread's processor time would leave the work out), and each batch ends only when its last
// line is written. The processor-time column is the whole process's, the logger thread included.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>

#include "common/logger/RotatingLogger.h"
#include "tests/support/TempRoot.h"

using common::LogCoreHelper;

static void BM_LoggerLines(benchmark::State& state) {
    testsupport::TempRoot root("rav-bench-logger");
    {
        LogCoreHelper logger(LogCoreHelper::defaultConfig());
        const std::string message(static_cast<size_t>(state.range(0)), 'x');
        constexpr int kBatch = 1000;
        for (auto _ : state) {
            for (int i = 0; i < kBatch; ++i) logger.writeLog(message, 1);
            logger.flush();  // inside the timed batch: the batch counts once it is on disk
        }
        state.SetItemsProcessed(state.iterations() * kBatch);
        // A line is "yyyy-MM-dd HH:mm:ss: " (21 bytes), the message and " \n".
        state.SetBytesProcessed(state.iterations() * kBatch * (state.range(0) + 23));
    }
}
BENCHMARK(BM_LoggerLines)->Arg(80)->Arg(400)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
