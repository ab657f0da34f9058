// Dispatch costs: the round trip of a task through a serial queue, and the processor time one
// firing of an otherwise idle timer source costs (the daemon ticks once a second on a serial queue).
// The work runs on queue threads, so Time is wall time and CPU is the whole process's processor
// time, every thread counted.
#include <benchmark/benchmark.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/dispatch/WorkQueue.h"

namespace {

using namespace std::chrono_literals;

double processCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

void BM_SerialDispatchSyncRoundTrip(benchmark::State& state) {
    auto queue = dispatch::WorkQueue::create("bench.serial.sync");
    queue->dispatchSync([] {});  // thread started outside the measurement
    for (auto _ : state) queue->dispatchSync([] {});
}
BENCHMARK(BM_SerialDispatchSyncRoundTrip)->MeasureProcessCPUTime()->UseRealTime();

// Throughput of fire-and-forget dispatch: a batch queued, then one wait for the last task.
void BM_SerialDispatchAsyncPerTask(benchmark::State& state) {
    auto queue = dispatch::WorkQueue::create("bench.serial.async");
    const int batch = static_cast<int>(state.range(0));
    std::atomic<int> ran{0};
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i)
            queue->dispatch([&ran] { ran.fetch_add(1, std::memory_order_relaxed); });
        queue->dispatchSync([] {});
    }
    state.SetItemsProcessed(state.iterations() * batch);
    benchmark::DoNotOptimize(ran.load());
}
BENCHMARK(BM_SerialDispatchAsyncPerTask)->Arg(1000)->MeasureProcessCPUTime()->UseRealTime();

// One iteration is one batch of firings; the waiting thread wakes once per batch so that its
// own wake-ups hardly count. cpu_ns_per_fire is the whole process's processor time per firing,
// which at one firing a second is the idle cost of the daemon's tick.
void BM_IdleTimerCpuPerFiring(benchmark::State& state) {
    constexpr int kBatch = 50;
    const auto interval = std::chrono::microseconds(state.range(0));
    auto queue = dispatch::WorkQueue::create("bench.timer");
    std::mutex m;
    std::condition_variable cv;
    int64_t fires = 0;
    auto timer = dispatch::TimerSource::create(queue, 0ns, interval, [&] {
        std::lock_guard lk(m);
        if (++fires % kBatch == 0) cv.notify_one();
    });
    timer->resume();

    int64_t firstFire = 0;
    {
        std::unique_lock lk(m);
        cv.wait_for(lk, 5s, [&] { return fires >= kBatch; });
        firstFire = fires;
    }
    double cpuStart = processCpuNs();
    int64_t target = firstFire;
    for (auto _ : state) {
        target += kBatch;
        std::unique_lock lk(m);
        cv.wait_for(lk, 5s, [&] { return fires >= target; });
    }
    double cpu = processCpuNs() - cpuStart;
    timer->cancel();
    int64_t counted = 0;
    {
        std::lock_guard lk(m);
        counted = fires - firstFire;
    }
    if (counted > 0) {
        state.counters["fires"] = static_cast<double>(counted);
        state.counters["cpu_ns_per_fire"] = cpu / static_cast<double>(counted);
        // Share of one processor spent by a once-a-second tick.
        state.counters["cpu_pct_at_1s"] = cpu / static_cast<double>(counted) / 1e9 * 100.0;
    }
}
BENCHMARK(BM_IdleTimerCpuPerFiring)
    ->Arg(1000)
    ->Arg(5000)
    ->Iterations(20)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
