// Processor time of the heartbeat's road through our code: building the request (head, body,
// serialization) and URL-encoding it, and URL-decoding and parsing a reply with eight commands.
// Runs inside a temporary root so the device facts and log lines stay off the machine.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/archive/Plist.h"
#include "common/command/ZemCMDManager.h"
#include "common/device/ITDevice.h"
#include "common/device/NetworkCardInfoManager.h"
#include "common/logger/RotatingLogger.h"
#include "daemon/messages/ZemModel.h"
#include "daemon/messages/ZemRequests.h"
#include "daemon/messages/ZemResponses.h"
#include "platform/paths/Paths.h"
#include "proto/ZemUrlEncode.h"
#include "tests/support/TempRoot.h"

using zem::ZemUrlEncode;
using common::ITDevice;
using common::LogCoreHelper;
using common::NetworkCardInfoManager;
using common::ZemCMDManager;
using hollin::ZemHeartBeatRequest;
using hollin::ZemHeartBeatResponse;
using hollin::ZemModel;
using hollin::ZemRequestSources;

namespace {

namespace fs = std::filesystem;

void writeFile(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
}

std::vector<sysinfo::InterfaceAddress> fixtureAddresses() {
    sysinfo::InterfaceAddress eth0;
    eth0.name = "eth0";
    eth0.up = true;
    eth0.hasAddress = true;
    eth0.family = sysinfo::AddressFamily::IPv4;
    eth0.address = "10.0.0.5";
    eth0.netmask = "255.255.255.0";
    return {eth0};
}

// A machine with one Ethernet port, DMI serials and a client version.
void writeFixtures(const std::string& root) {
    writeFile(root + "/sys/class/net/eth0/type", "1\n");
    writeFile(root + "/sys/class/net/eth0/address", "08:00:27:aa:bb:cc\n");
    writeFile(root + "/sys/class/net/eth0/ifindex", "2\n");
    writeFile(root + "/sys/class/net/eth0/uevent", "INTERFACE=eth0\n");
    fs::create_directories(root + "/sys/devices/pci0000:00/0000:00:12.0");
    fs::create_directory_symlink("../../../devices/pci0000:00/0000:00:12.0",
                                 root + "/sys/class/net/eth0/device");
    writeFile(root + "/sys/class/dmi/id/board_serial", "BRD-1\n");
    writeFile(root + "/sys/class/dmi/id/product_serial", "C02XYZ\n");
    writeFile(root + "/sys/class/dmi/id/product_name", "MacBookPro18,3\n");
    fs::create_directories(paths::uiAppBundle() + "/Contents");
    archive::writePlistFile(archive::Dictionary{{"CFBundleVersion", "5.2.1.3"}},
                            paths::uiAppBundle() + "/Contents/Info.plist");
}

std::string heartbeatReplyText() {
    ZemV5Root root;
    root.mutable_msghead()->set_action(1000);
    root.mutable_msghead()->set_retcode(0);
    auto* reply = root.mutable_msgrspbody()->MutableExtension(ZemV5Root::heartbeatMsgRspBody);
    for (int type = 1; type <= 8; ++type) {
        auto* item = reply->add_reqitemsarray();
        item->set_cmdtype(type);
        item->set_cmdseq(1000 + type);
        item->set_deadline(type % 2 ? 0 : 1700000000);
    }
    reply->set_userticket("TGT-8841-abcdef");
    reply->set_ticketstate(1);
    return ZemUrlEncode::urlencodWithData(root.SerializeAsString());
}

void BM_BuildAndEncodeHeartbeat(benchmark::State& state) {
    ITDevice device(fixtureAddresses);
    NetworkCardInfoManager cards(fixtureAddresses);
    ZemCMDManager commands(paths::root() + "/cmd.archive");
    ZemModel status;
    ZemRequestSources sources{.device = &device, .commands = &commands, .status = &status, .cards = &cards};
    size_t bytes = 0;
    for (auto _ : state) {
        ZemHeartBeatRequest request(sources);
        request.generateMsgHead();
        request.generateMsgBody();
        request.buildData();
        std::string body = ZemUrlEncode::urlencodWithData(request.data());
        bytes = body.size();
        benchmark::DoNotOptimize(body);
    }
    state.counters["body_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_BuildAndEncodeHeartbeat);

void BM_DecodeAndParseHeartbeatReply(benchmark::State& state) {
    const std::string text = heartbeatReplyText();
    for (auto _ : state) {
        size_t len = 0;
        ZemHeartBeatResponse reply(ZemUrlEncode::urldecode(text, &len));
        bool ok = reply.parseData();
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(reply.responseMsg());
    }
    state.counters["body_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_DecodeAndParseHeartbeatReply);

}  // namespace

int main(int argc, char** argv) {
    testsupport::TempRoot root("bench-messages");
    writeFixtures(root.path());

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    LogCoreHelper::sharedInstance().flush();
    return 0;
}
