#include "ProcFigures.h"

#include <time.h>
#include <unistd.h>

#include <charconv>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/FileIO.h"

namespace procfigures {

namespace {

constexpr size_t kMaxProcFileBytes = 64 * 1024;

std::optional<std::string> readProcFile(const char* path) {
    auto bytes = fileio::readFile(path, kMaxProcFileBytes);
    if (!bytes || bytes->empty()) return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
}

// Fields of /proc/self/stat after the command name, which is parenthesised and may itself
// hold spaces and parentheses: fields()[0] is the state (field 3 of proc(5)).
std::optional<std::vector<std::string_view>> statFields(const std::string& stat) {
    auto close = stat.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::vector<std::string_view> fields;
    std::string_view rest(stat);
    rest.remove_prefix(close + 1);
    while (!rest.empty()) {
        auto start = rest.find_first_not_of(" \n");
        if (start == std::string_view::npos) break;
        rest.remove_prefix(start);
        auto end = rest.find_first_of(" \n");
        fields.push_back(rest.substr(0, end));
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end);
    }
    return fields;
}

template <typename T>
std::optional<T> parseNumber(std::string_view text) {
    T value{};
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

// proc(5) numbers fields from 1; statFields starts at field 3.
std::optional<std::string_view> statField(const std::vector<std::string_view>& fields, size_t number) {
    if (number < 3 || number - 3 >= fields.size()) return std::nullopt;
    return fields[number - 3];
}

std::optional<std::vector<std::string_view>> readSelfStat(std::string& storage) {
    auto text = readProcFile("/proc/self/stat");
    if (!text) return std::nullopt;
    storage = std::move(*text);
    return statFields(storage);
}

std::optional<double> bootClockSeconds() {
    timespec ts{};
    if (::clock_gettime(CLOCK_BOOTTIME, &ts) != 0) return std::nullopt;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::optional<double> ticksPerSecond() {
    long hz = ::sysconf(_SC_CLK_TCK);
    if (hz <= 0) return std::nullopt;
    return static_cast<double>(hz);
}

}  // namespace

std::optional<uint64_t> residentBytes() {
    auto text = readProcFile("/proc/self/statm");
    if (!text) return std::nullopt;
    std::string_view view(*text);
    auto first = view.find(' ');
    if (first == std::string_view::npos) return std::nullopt;
    view.remove_prefix(first + 1);
    auto pages = parseNumber<uint64_t>(view.substr(0, view.find_first_of(" \n")));
    long pageSize = ::sysconf(_SC_PAGESIZE);
    if (!pages || pageSize <= 0) return std::nullopt;
    return *pages * static_cast<uint64_t>(pageSize);
}

std::optional<int32_t> threadCount() {
    std::string storage;
    auto fields = readSelfStat(storage);
    if (!fields) return std::nullopt;
    auto field = statField(*fields, 20);
    if (!field) return std::nullopt;
    auto count = parseNumber<int32_t>(*field);
    if (!count || *count <= 0) return std::nullopt;
    return count;
}

std::optional<CpuSample> processStartSample() {
    std::string storage;
    auto fields = readSelfStat(storage);
    auto hz = ticksPerSecond();
    if (!fields || !hz) return std::nullopt;
    auto start = statField(*fields, 22);
    auto ticks = start ? parseNumber<uint64_t>(*start) : std::nullopt;
    if (!ticks) return std::nullopt;
    return CpuSample{0.0, static_cast<double>(*ticks) / *hz};
}

std::optional<CpuSample> currentSample() {
    std::string storage;
    auto fields = readSelfStat(storage);
    auto hz = ticksPerSecond();
    auto now = bootClockSeconds();
    if (!fields || !hz || !now) return std::nullopt;
    auto user = statField(*fields, 14);
    auto system = statField(*fields, 15);
    auto userTicks = user ? parseNumber<uint64_t>(*user) : std::nullopt;
    auto systemTicks = system ? parseNumber<uint64_t>(*system) : std::nullopt;
    if (!userTicks || !systemTicks) return std::nullopt;
    return CpuSample{static_cast<double>(*userTicks + *systemTicks) / *hz, *now};
}

double cpuPercentBetween(const CpuSample& earlier, const CpuSample& later) {
    double wall = later.wallSeconds - earlier.wallSeconds;
    double cpu = later.cpuSeconds - earlier.cpuSeconds;
    if (wall <= 0 || cpu <= 0) return 0.0;
    return cpu / wall * 100.0;
}

std::optional<double> cpuPercent() {
    static std::mutex mutex;
    static std::optional<CpuSample> baseline;
    static std::optional<double> lastFigure;
    constexpr double kMinWindowSeconds = 0.1;

    std::lock_guard lock(mutex);
    if (!baseline) {
        baseline = processStartSample();
        if (!baseline) return std::nullopt;
    }
    auto now = currentSample();
    if (!now) return std::nullopt;
    if (now->wallSeconds - baseline->wallSeconds < kMinWindowSeconds && lastFigure) return lastFigure;
    double figure = cpuPercentBetween(*baseline, *now);
    baseline = now;
    lastFigure = figure;
    return figure;
}

}  // namespace procfigures
