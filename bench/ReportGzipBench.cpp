// The report body's gzip (ZipHelper::gzipData, as every upload uses it) against zlib's raw deflate
// at the same level on the same 10 MiB report, timed side by side so machine noise affects both
// alike. The gzip wrapper adds a header, a trailer and a CRC: the ratio should stay within 10 %.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "framework/encoding/ZipHelper.h"

using calix::ZipHelper;

namespace {

// A report like the service sends: "#"-joined process or access-log records.
std::vector<uint8_t> report(size_t bytes) {
    std::string text;
    text.reserve(bytes + 128);
    uint32_t seed = 12345;
    for (int i = 0; text.size() < bytes; ++i) {
        seed = seed * 1103515245u + 12345u;
        text += "{\"pid\":" + std::to_string(seed % 65536) + ",\"name\":\"proc" + std::to_string(seed % 977) +
                "\",\"user\":\"u" + std::to_string(i % 13) + "\",\"mem\":" + std::to_string(seed % 100000) +
                "}#";
    }
    text.resize(bytes);
    return {text.begin(), text.end()};
}

size_t rawDeflate(const std::vector<uint8_t>& in, std::vector<uint8_t>& out) {
    z_stream s{};
    deflateInit2(&s, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    out.resize(deflateBound(&s, in.size()));
    s.next_in = const_cast<Bytef*>(in.data());
    s.avail_in = static_cast<uInt>(in.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    deflate(&s, Z_FINISH);
    const size_t n = s.total_out;
    deflateEnd(&s);
    return n;
}

constexpr size_t kReportBytes = 10u << 20;

void BM_ReportGzip(benchmark::State& state) {
    const auto in = report(kReportBytes);
    for (auto _ : state) {
        auto out = ZipHelper::gzipData(in);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(in.size()));
}

void BM_RawDeflate(benchmark::State& state) {
    const auto in = report(kReportBytes);
    std::vector<uint8_t> out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(rawDeflate(in, out));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(in.size()));
}

// Both on the same report in each iteration; gzip_over_deflate is the time ratio (1.10 at most).
void BM_ReportGzipRatio(benchmark::State& state) {
    const auto in = report(kReportBytes);
    std::vector<uint8_t> out;
    using Clock = std::chrono::steady_clock;
    Clock::duration gzipTime{}, deflateTime{};
    size_t gzipBytes = 0, deflateBytes = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        auto gz = ZipHelper::gzipData(in);
        benchmark::DoNotOptimize(gz);
        auto t1 = Clock::now();
        deflateBytes = rawDeflate(in, out);
        auto t2 = Clock::now();
        gzipBytes = gz ? gz->size() : 0;
        gzipTime += t1 - t0;
        deflateTime += t2 - t1;
    }
    state.counters["gzip_over_deflate"] =
        std::chrono::duration<double>(gzipTime).count() / std::chrono::duration<double>(deflateTime).count();
    state.counters["gzip_bytes"] = static_cast<double>(gzipBytes);
    state.counters["deflate_bytes"] = static_cast<double>(deflateBytes);
}

}  // namespace

BENCHMARK(BM_ReportGzip)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawDeflate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReportGzipRatio)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
