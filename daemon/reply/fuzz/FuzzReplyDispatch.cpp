// What the -run job does with a parsed reply of the management server, for hostile replies: the
// first byte picks the reply class, the rest is its protobuf encoding. The dispatcher works against
// a real policy database, command store and configuration store in a temporary root; no peer is
// vended, so every peer call ends at its missing connection.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "common/command/ZemCMDManager.h"
#include "daemon/peers/ZemIPCManager.h"
#include "daemon/policy/ZemClientFMDB.h"
#include "daemon/reply/ZemReplyDispatcher.h"
#include "daemon/store/ZemConfigManager.h"
#include "tests/support/TempRoot.h"

using common::ZemCMDManager;
using hollin::ZemClientFMDB;
using hollin::ZemConfigManager;
using hollin::ZemIPCManager;
using hollin::ZemReplyDispatcher;

namespace {

struct Fixture {
    Fixture() {
        commands = std::make_unique<ZemCMDManager>((root / "cmd.archive").string());
        commands->initialCMD();
        database = std::make_unique<ZemClientFMDB>((root / "RavAviza.sqlite").string());
        config = std::make_unique<ZemConfigManager>((root / "config.archive").string());
        ZemIPCManager::Options o;
        o.lookupTimeout = 0;
        o.callTimeout = 1.0;
        o.upgradeRetries = 0;
        o.sleep = [](std::chrono::milliseconds) {};
        o.startApp = [](const std::string&, const std::vector<std::string>&) {};
        peers = std::make_unique<ZemIPCManager>(o);
        ZemReplyDispatcher::Environment env;
        env.commands = commands.get();
        env.database = database.get();
        env.config = config.get();
        env.peers = peers.get();
        env.now = [] { return 1'700'000'000.0; };
        env.consoleUser = [] { return std::string("tester"); };
        env.post = [](const std::string&, archive::Value) {};
        dispatcher = std::make_unique<ZemReplyDispatcher>(env);
    }
    testsupport::TempRoot temp{"fuzz-reply-dispatch"};
    std::filesystem::path root = temp.path();
    std::unique_ptr<ZemCMDManager> commands;
    std::unique_ptr<ZemClientFMDB> database;
    std::unique_ptr<ZemConfigManager> config;
    std::unique_ptr<ZemIPCManager> peers;
    std::unique_ptr<ZemReplyDispatcher> dispatcher;
};

template <typename Reply>
void route(Fixture& f, const uint8_t* data, size_t size) {
    Reply reply;
    if (!reply.ParseFromArray(data, static_cast<int>(size))) return;
    f.dispatcher->handleMessage(reply);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Fixture f;
    if (size == 0) return 0;
    const uint8_t* body = data + 1;
    const size_t len = size - 1;
    switch (data[0] % 6) {
        case 0: route<HeartbeatMsgRsp>(f, body, len); break;
        case 1: route<PolicyIDGetMsgRsp>(f, body, len); break;
        case 2: route<PolicyContGetMsgRsp>(f, body, len); break;
        case 3: route<UpdateMsgRsp>(f, body, len); break;
        case 4: route<ConfigGetMsgRsp>(f, body, len); break;
        default: route<HeartbeatExtMsgRsp>(f, body, len); break;
    }
    f.dispatcher->waitForPeers();
    return 0;
}
