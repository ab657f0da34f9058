// Time to collect the device facts a heartbeat carries, from this machine's real sources. The
// root prefix points at a folder whose system folders link to the real ones, so whatever the
// facts write for the product (the hardware UUID copy) stays in that folder.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>

#include "common/device/ITDevice.h"
#include "common/device/NetworkCardInfoManager.h"
#include "tests/support/TempRoot.h"

using common::ITDevice;
using common::NetworkCardInfoManager;

namespace {

class MachineView {
  public:
    MachineView() {
        for (const char* folder : {"etc", "proc", "sys", "run", "var", "usr"}) {
            std::error_code ec;
            std::filesystem::create_directory_symlink(std::filesystem::path("/") / folder, root_.file(folder), ec);
        }
    }

  private:
    testsupport::TempRoot root_{"rav-bench-records"};  // removing it removes the links, not what they point at
};

// Everything a heartbeat asks for, on a new device object each time (nothing cached).
void BM_CollectDeviceFacts(benchmark::State& state) {
    MachineView view;
    for (auto _ : state) {
        ITDevice device;
        benchmark::DoNotOptimize(device.userName());
        benchmark::DoNotOptimize(device.uuid());
        benchmark::DoNotOptimize(device.machineName());
        benchmark::DoNotOptimize(device.modelName());
        benchmark::DoNotOptimize(device.currentOsBit());
        benchmark::DoNotOptimize(device.boardSerialNums());
        benchmark::DoNotOptimize(device.serialNum());
        benchmark::DoNotOptimize(device.getLocalZEMQZNVersion());
        device.getMacAndIPAddr();
        benchmark::DoNotOptimize(device.macAddresses());
        benchmark::DoNotOptimize(device.ipArray());
    }
}
BENCHMARK(BM_CollectDeviceFacts)->Unit(benchmark::kMicrosecond);

// The interface table alone: every daemon message head rebuilds it.
void BM_InterfaceTable(benchmark::State& state) {
    MachineView view;
    ITDevice device;
    for (auto _ : state) {
        device.getMacAndIPAddr();
        benchmark::DoNotOptimize(device.networkInfos());
    }
}
BENCHMARK(BM_InterfaceTable)->Unit(benchmark::kMicrosecond);

// The Wi-Fi and Ethernet cards of the runtime status.
void BM_NetworkCards(benchmark::State& state) {
    MachineView view;
    NetworkCardInfoManager manager;
    for (auto _ : state) benchmark::DoNotOptimize(manager.currentNetworkCards());
}
BENCHMARK(BM_NetworkCards)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
