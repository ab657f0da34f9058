// The calling process's own figures read from /proc: resident memory, thread count and
// processor use. Each returns nothing when /proc cannot be read.
#pragma once

#include <cstdint>
#include <optional>

namespace procfigures {

// Resident set size in bytes.
std::optional<uint64_t> residentBytes();

// Number of threads of the process.
std::optional<int32_t> threadCount();

// Processor time and wall time, both in seconds, at one moment.
struct CpuSample {
    double cpuSeconds = 0;   // user + system time of all threads
    double wallSeconds = 0;  // boot-clock time
};

// The process start (no processor time used, boot-clock start time) and the present moment.
std::optional<CpuSample> processStartSample();
std::optional<CpuSample> currentSample();

// Processor use between two samples in percent of one core (four busy threads give 400).
// A window without elapsed time gives 0.
double cpuPercentBetween(const CpuSample& earlier, const CpuSample& later);

// Processor use since the previous call, or since process start on the first call.
// Calls closer together than 100 ms repeat the previous figure, since the kernel counts
// processor time in 10 ms ticks and a shorter window would mostly measure rounding.
std::optional<double> cpuPercent();

}  // namespace procfigures
