// Server configuration items: kept in memory and in config.archive; a change of one of the four
// scheduler intervals is announced on the main queue with the previous value as its object.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/archive/Value.h"

namespace hollin {

struct ZemConfigModel {
    int64_t configType = -1;
    std::string configValue;

    static ZemConfigModel initWith(int64_t type, std::string value) { return {type, std::move(value)}; }
    archive::Object encode() const;
    static std::optional<ZemConfigModel> decode(const archive::Value& value);
    bool operator==(const ZemConfigModel&) const = default;
};

class ZemConfigManager {
  public:
    // Configuration types of the scheduler's intervals, their defaults and announcements.
    static constexpr int64_t kUpgradeType = 3, kPolicyType = 6, kHeartbeatType = 7, kHeartbeatExtType = 8;

    static ZemConfigManager& sharedInstance();
    // archivePath empty: config.archive in the product root.
    explicit ZemConfigManager(std::string archivePath = {});

    void updateMemoryConfigs(const std::vector<ZemConfigModel>& configs);
    void updateMemoryConfig(const ZemConfigModel& config, bool isUpdateLocal);
    std::vector<ZemConfigModel> currentMemoryConfigs() const;
    void saveConfigToLocal();

    static std::string localPath();
    // The list as stored now; empty when the file is missing, unreadable or of another shape.
    static std::vector<ZemConfigModel> localConfigs(const std::string& path = localPath());

    // Intervals in seconds from the shared instance.
    static double heartBeatInterval();
    static double heartBeatExtInterval();
    static double upgradeTimeInterval();
    static double getPolicyTimeInterval();
    static double getConfigTimeInterval();

    // The interval of one type: the first item's value, or the default when there is none, it
    // reads as 0, or it is not a usable whole number of seconds (not finite, below 1 or above
    // 2^31-1), so the scheduler never gets a slot outside its wheel.
    double intervalOfType(int64_t type, double defaultSeconds) const;

  private:
    std::string archivePath_;
    std::mutex saveMutex_;  // taken before mutex_, never inside it
    mutable std::mutex mutex_;
    std::vector<ZemConfigModel> memoryConfigs_;
};

}  // namespace hollin
