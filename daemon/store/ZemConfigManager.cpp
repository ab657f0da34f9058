#include "ZemConfigManager.h"

#include "common/logger/DaemonLog.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "platform/archive/KeyedArchive.h"
#include "platform/core/TextNumber.h"
#include "platform/dispatch/NotificationCenter.h"
#include "common/logger/RotatingLogger.h"
#include "daemon/messages/ZemNotificationNames.h"
#include "framework/process/FileManager.h"
#include "platform/paths/FileModes.h"

using calix::FileManager;
using common::LogCoreHelper;

namespace hollin {

namespace {

constexpr const char* kClassName = "ZemConfigModel";

const char* notificationOf(int64_t type) {
    switch (type) {
        case ZemConfigManager::kUpgradeType:
            return notification::kUpgradeRestart;
        case ZemConfigManager::kPolicyType:
            return notification::kGetConfigRestart;
        case ZemConfigManager::kHeartbeatType:
            return notification::kHeartbeatRestart;
        case ZemConfigManager::kHeartbeatExtType:
            return notification::kHeartbeatExtRestart;
        default:
            return nullptr;
    }
}

}  // namespace

archive::Object ZemConfigModel::encode() const {
    return archive::Object{kClassName, {{"configType", configType}, {"configValue", configValue}}};
}

std::optional<ZemConfigModel> ZemConfigModel::decode(const archive::Value& value) {
    const archive::Object* o = value.object();
    if (!o || o->className != kClassName) return std::nullopt;
    auto type = o->fields.find("configType");
    auto text = o->fields.find("configValue");
    if (type == o->fields.end() || !type->second.isInteger()) return std::nullopt;
    ZemConfigModel m;
    m.configType = *type->second.integer();
    if (text != o->fields.end()) {
        if (!text->second.string()) return std::nullopt;
        m.configValue = *text->second.string();
    }
    return m;
}

ZemConfigManager& ZemConfigManager::sharedInstance() {
    static ZemConfigManager* instance = new ZemConfigManager();  // lives for the whole process
    return *instance;
}

ZemConfigManager::ZemConfigManager(std::string archivePath)
    : archivePath_(archivePath.empty() ? localPath() : std::move(archivePath)) {
    memoryConfigs_ = localConfigs(archivePath_);
}

std::string ZemConfigManager::localPath() {
    return FileManager::sharedInstance().createAppRootDirectory() + "/config.archive";
}

std::vector<ZemConfigModel> ZemConfigManager::localConfigs(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return {};
    archive::DecodeLimits limits;
    limits.maxBytes = 1u << 20;
    limits.maxObjects = 1u << 14;
    limits.maxDepth = 8;
    auto decoded = archive::unarchiveObjectWithFile(path, {kClassName}, limits);
    std::vector<ZemConfigModel> configs;
    bool ok = decoded && decoded.value->array();
    if (ok) {
        for (const archive::Value& v : *decoded.value->array()) {
            auto m = ZemConfigModel::decode(v);
            if (!m) {
                ok = false;
                break;
            }
            configs.push_back(std::move(*m));
        }
    }
    if (!ok) {
        common::daemonLog().writeLog("[ZemConfigManager] config.archive unreadable (" +
                                                     (decoded ? std::string("wrong shape") : decoded.error) +
                                                     "), using default configuration",
                                                 1);
        return {};
    }
    return configs;
}

void ZemConfigManager::updateMemoryConfigs(const std::vector<ZemConfigModel>& configs) {
    if (configs.empty()) return;
    for (const auto& c : configs) updateMemoryConfig(c, false);
    saveConfigToLocal();
}

void ZemConfigManager::updateMemoryConfig(const ZemConfigModel& config, bool isUpdateLocal) {
    std::optional<std::string> previous;
    {
        std::lock_guard lock(mutex_);
        bool same = false;
        for (auto& item : memoryConfigs_) {
            if (item.configType != config.configType) continue;
            if (item.configValue != config.configValue) {
                previous = item.configValue;
                item.configValue = config.configValue;
            } else {
                same = true;
            }
            break;
        }
        if (!previous && !same) memoryConfigs_.push_back(config);
    }
    if (const char* name = notificationOf(config.configType)) {
        archive::Value object = previous ? archive::Value(*previous) : archive::Value(archive::Null{});
        std::string n = name;
        dispatch::WorkQueue::main()->dispatch(
            [n, object] { dispatch::NotificationCenter::defaultCenter().post(n, object); });
    }
    if (isUpdateLocal) saveConfigToLocal();
}

std::vector<ZemConfigModel> ZemConfigManager::currentMemoryConfigs() const {
    std::lock_guard lock(mutex_);
    return memoryConfigs_;
}

void ZemConfigManager::saveConfigToLocal() {
    // Saves run one at a time and each copies the list inside its turn, so the last write holds
    // every merge made before it; copying first and writing later let an older copy land last.
    std::lock_guard saving(saveMutex_);
    archive::Array root;
    for (const auto& c : currentMemoryConfigs()) root.emplace_back(c.encode());
    // The items are the server's, and any of them may carry a secret: root's alone.
    if (!archive::archiveRootObjectToFile(root, archivePath_, paths::fileModeFor("config.archive"))) {
        common::daemonLog().writeLog("[ZemConfigManager] cannot write config.archive", 1);
    }
}

double ZemConfigManager::intervalOfType(int64_t type, double defaultSeconds) const {
    std::lock_guard lock(mutex_);
    for (const auto& item : memoryConfigs_) {
        if (item.configType != type) continue;
        double v = textnum::doubleValue(item.configValue);
        if (v == 0.0 || !std::isfinite(v) || v < 1.0 || v > 2147483647.0) return defaultSeconds;
        return v;
    }
    return defaultSeconds;
}

double ZemConfigManager::heartBeatInterval() {
    return sharedInstance().intervalOfType(kHeartbeatType, 60);
}
double ZemConfigManager::heartBeatExtInterval() {
    return sharedInstance().intervalOfType(kHeartbeatExtType, 124);
}
double ZemConfigManager::upgradeTimeInterval() {
    return sharedInstance().intervalOfType(kUpgradeType, 305);
}
double ZemConfigManager::getPolicyTimeInterval() {
    return sharedInstance().intervalOfType(kPolicyType, 302);
}
double ZemConfigManager::getConfigTimeInterval() {
    return sharedInstance().intervalOfType(kPolicyType, 303);
}

}  // namespace hollin
