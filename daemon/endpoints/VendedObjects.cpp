#include "VendedObjects.h"

#include "common/logger/DaemonLog.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "common/logger/RotatingLogger.h"
#include "daemon/records/ZemMachineModel.h"
#include "daemon/scheduler/CommonTimerManager.h"
#include "common/server/ZemServerConfig.h"

using common::LogCoreHelper;
using common::ZemServerConfig;
using hollin::CommonTimerManager;
using hollin::ZemMachineManager;

namespace endpoints {

namespace {

constexpr auto kUpgradeStateWait = std::chrono::seconds(15);

ipc::VendedObject heartbeatProtect(CommonTimerManager& scheduler) {
    ipc::VendedObject o;
    o.add("checkValidOfHearbeat", [&scheduler](const archive::Array&) -> std::optional<archive::Value> {
        scheduler.checkRunloopTimerIsRunning();
        return std::nullopt;
    });
    o.add(
        "loadJSPatch:", [](const archive::Array&) -> std::optional<archive::Value> { return std::nullopt; });
    o.add("updateMemoryMachine", [](const archive::Array&) -> std::optional<archive::Value> {
        ZemMachineManager::sharedInstance().getMachineInfoFromLocal();
        return std::nullopt;
    });
    return o;
}

// Asks the scheduler for the user's upgrade query and waits for its answer, at most 15 s.
ipc::VendedObject upgradeConnection(CommonTimerManager& scheduler) {
    ipc::VendedObject o;
    o.add("getUpgradeStateFromServer", [&scheduler](const archive::Array&) -> std::optional<archive::Value> {
        struct Wait {
            std::mutex m;
            std::condition_variable cv;
            bool done = false;
            std::optional<std::vector<uint8_t>> json;
        };
        auto wait = std::make_shared<Wait>();
        scheduler.startGetUpgradeRequest(2, [wait](std::optional<std::vector<uint8_t>> json) {
            std::lock_guard lock(wait->m);
            wait->json = std::move(json);
            wait->done = true;
            wait->cv.notify_all();
        });
        std::unique_lock lock(wait->m);
        if (!wait->cv.wait_for(lock, kUpgradeStateWait, [&] { return wait->done; })) {
            common::daemonLog().writeLog(
                "【ZemUpgradeConnection】get Ugrade request is timeout...", 1);
        }
        if (!wait->json) return std::nullopt;
        return archive::Value(archive::Data(*wait->json));
    });
    return o;
}

ipc::VendedObject clientConnection() {
    ipc::VendedObject o;
    o.add("fetchServersUrl", [](const archive::Array&) -> std::optional<archive::Value> {
        ZemServerConfig& config = ZemServerConfig::sharedInstance();
        return archive::Value("http://" + config.historyRecord_server().value_or("") + ":" +
                              std::to_string(config.historyRecord_port()));
    });
    return o;
}

}  // namespace

std::vector<std::pair<std::string, ipc::VendedObject>> daemonVendedObjects(CommonTimerManager& scheduler) {
    std::vector<std::pair<std::string, ipc::VendedObject>> objects;
    objects.emplace_back(kHeartbeatProtectConnection, heartbeatProtect(scheduler));
    objects.emplace_back(kUpgradeProxyConnection, upgradeConnection(scheduler));
    objects.emplace_back(kClientConfigConnection, clientConnection());
    return objects;
}

}  // namespace endpoints
