// Read side of the protect channel: a reply body of any shape for each of the channel's requests,
// through decoding, the action check and the machine-record update.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/WorkQueue.h"
#include "daemon/link/ZemSocketMessageModel.h"
#include "daemon/protect/ZemSocketOtherReadManager.h"
#include "daemon/records/ZemMachineModel.h"
#include "tests/support/TempRoot.h"

using hollin::ZemMachineManager;
using hollin::ZemSocketMessageModel;
using hollin::ZemSocketOtherReadManager;
using hollin::ZemProtectContext;

namespace {

struct Harness {
    // machine.data is written under a scratch root, never the machine's own.
    testsupport::TempRoot root{"fuzz-protect"};
    std::unique_ptr<ZemMachineManager> machines;
    std::shared_ptr<ZemSocketOtherReadManager> reader;

    Harness() {
        machines = std::make_unique<ZemMachineManager>();
        ZemProtectContext context;
        context.machineManager = machines.get();
        context.mainQueue = dispatch::WorkQueue::create("fuzz.protect.main");
        context.updateMachineNotifier = [] {};
        reader = std::make_shared<ZemSocketOtherReadManager>(context, [](const std::string& text) {
            if (text != "0" && text != "1") __builtin_trap();
        });
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness harness;
    if (size == 0) return 0;
    // The first byte picks the request the reply answers.
    constexpr uint64_t kTags[] = {ZemSocketMessageModel::kNetworkLocation,
                                  ZemSocketMessageModel::kNetworkType,
                                  ZemSocketMessageModel::kReportMachineInfo};
    auto record = ZemSocketMessageModel::create(kTags[data[0] % 3], {}, 0);
    record->readData.assign(data + 1, data + size);
    record->readBodyLength = static_cast<int64_t>(record->readData.size());
    record->isReadEnd = true;
    harness.reader->parseReadData(record);
    return 0;
}
