#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <functional>
#include <latch>
#include <memory>
#include <thread>
#include <vector>

#include "platform/process/ProcFigures.h"

namespace {

using procfigures::CpuSample;

TEST(calix_process_ProcFigures, CpuPercentIsProcessorTimeOverWallTime) {
    struct Case {
        const char* what;
        CpuSample earlier, later;
        double percent;
    } cases[] = {
        {"half a core", {1.0, 10.0}, {2.0, 12.0}, 50.0},
        {"three busy threads", {0.0, 0.0}, {3.0, 1.0}, 300.0},
        {"idle", {5.0, 1.0}, {5.0, 3.0}, 0.0},
        {"no time elapsed", {1.0, 5.0}, {2.0, 5.0}, 0.0},
        {"clock went back", {1.0, 5.0}, {2.0, 4.0}, 0.0},
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(procfigures::cpuPercentBetween(c.earlier, c.later), c.percent) << c.what;
    }
}

double clockSeconds(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The figure must agree with the process's own processor clock over the same window; the
// kernel counts in 10 ms ticks, which over a window of at least 0.4 s is a few points.
TEST(calix_process_ProcFigures, CpuFigureFollowsLoad) {
    auto start = procfigures::processStartSample();
    auto now = procfigures::currentSample();
    ASSERT_TRUE(start && now);
    EXPECT_LE(start->wallSeconds, now->wallSeconds);

    struct Window {
        const char* what;
        std::function<void()> work;
    } windows[] = {
        {"busy",
         [] {
             double until = clockSeconds(CLOCK_PROCESS_CPUTIME_ID) + 0.4;
             std::atomic<unsigned> sink = 0;
             while (clockSeconds(CLOCK_PROCESS_CPUTIME_ID) < until)
                 sink.fetch_add(1, std::memory_order_relaxed);
         }},
        {"idle", [] { std::this_thread::sleep_for(std::chrono::milliseconds(400)); }},
    };
    ASSERT_TRUE(procfigures::cpuPercent());  // starts the first window
    double cpu = clockSeconds(CLOCK_PROCESS_CPUTIME_ID), wall = clockSeconds(CLOCK_BOOTTIME);
    for (const auto& w : windows) {
        SCOPED_TRACE(w.what);
        w.work();
        auto figure = procfigures::cpuPercent();
        double cpuNow = clockSeconds(CLOCK_PROCESS_CPUTIME_ID), wallNow = clockSeconds(CLOCK_BOOTTIME);
        ASSERT_TRUE(figure);
        EXPECT_NEAR(*figure, (cpuNow - cpu) / (wallNow - wall) * 100.0, 10.0);
        cpu = cpuNow;
        wall = wallNow;
    }
}

TEST(calix_process_ProcFigures, ThreadCountSeesNewThreads) {
    auto before = procfigures::threadCount();
    ASSERT_TRUE(before);
    EXPECT_GE(*before, 1);
    std::latch release(1);
    std::vector<std::jthread> threads;
    for (int i = 0; i < 5; ++i) threads.emplace_back([&release] { release.wait(); });
    auto during = procfigures::threadCount();
    release.count_down();
    ASSERT_TRUE(during);
    EXPECT_GE(*during, *before + 5);
}

TEST(calix_process_ProcFigures, ResidentSizeSeesTouchedMemory) {
    auto before = procfigures::residentBytes();
    ASSERT_TRUE(before);
    EXPECT_GT(*before, 0u);
    constexpr size_t kSize = 64u << 20;
    auto block = std::make_unique<char[]>(kSize);
    for (size_t i = 0; i < kSize; i += 4096) block[i] = static_cast<char>(i);
    auto after = procfigures::residentBytes();
    ASSERT_TRUE(after);
    EXPECT_GE(*after, *before + (48u << 20));
    EXPECT_EQ(block[4096], static_cast<char>(4096));
}

}  // namespace
