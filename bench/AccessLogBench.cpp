// Access-log lines parsed per second: the field parser alone, and a whole collection pass (read,
// parse, JSON body) over a file of fresh lines.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "bus/ZemCollectQORLogManager.h"

namespace {

const std::string kLine =
    "\"2026-12-11 08:00:00\",\"host-01\",\"curl\",\"4242\",\"50000\",\"8080\",\"10.0.0.5\",\"93.184.216.34\","
    "\"443\",\"GET\",\"https://intranet.test/app?q=1,2\",\"https://intranet.test/\",\"agent \"\"x\"\"\","
    "\"5f2c9e1a-trace\",\"amy\"\n";

void BM_ParseAccessLogLine(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(ZemCollectQORLogManager::parseStrToDic(kLine));
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kLine.size()));
}
BENCHMARK(BM_ParseAccessLogLine);

// One pass over 10,000 new lines, from the file to the JSON body handed on.
void BM_CollectionPass(benchmark::State& state) {
    char tmpl[] = "/tmp/rav-bench-accesslog-XXXXXX";
    const std::filesystem::path dir = mkdtemp(tmpl);
    constexpr int kLines = 10'000;
    size_t handed = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::remove(dir / "qoraccesslog.archive");
        {
            std::ofstream out(dir / "nimbrel_access.log", std::ios::trunc);
            for (int i = 0; i < kLines; ++i) out << kLine;
        }
        ZemCollectQORLogManager collector([&](const std::vector<uint8_t>& data) { handed += data.size(); },
                                          (dir / "qoraccesslog.archive").string(), dir.string());
        state.ResumeTiming();
        collector.CheckfilesInfo();
    }
    benchmark::DoNotOptimize(handed);
    state.SetItemsProcessed(state.iterations() * kLines);
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_CollectionPass)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
