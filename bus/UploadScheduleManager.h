// The upload schedule: which report types may be uploaded, how large a report may be before it
// is split and where it goes. Fetched as JSON from the server's yj/schedule path and kept as a
// keyed archive of UploadScheduleModel records ("ScheduleSetting.data" in the product root).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/archive/Value.h"

namespace hollin { class ZemHttpSession; }
namespace common { class ZemServerConfig; }

struct UploadScheduleModel {
    std::string bEnabled;                          // "1" when the server's "switch" is 1 or more
    uint64_t uploadsize = 0;                       // 0: no limit
    std::optional<archive::Value> accumulatetime;  // kept as the server sent it, read by nothing
    std::string url;
    std::string type;  // the key under "datacontrol", "default" for the fallback entry

    archive::Value encode() const;
    static std::optional<UploadScheduleModel> decode(const archive::Value& value);
    bool operator==(const UploadScheduleModel&) const = default;
};

namespace bus {

// A schedule reply with more entries than this is refused as a whole: the stored schedule stays.
inline constexpr size_t kMaxScheduleEntries = 512;

struct ScheduleReply {
    enum class Outcome { Stored, NotDictionary, ServerError, NoDataControl, TooManyEntries };
    Outcome outcome = Outcome::NotDictionary;
    std::vector<UploadScheduleModel> models;  // for Stored, in the reply's key order
};
// Reads a reply body. Only Stored replaces the stored schedule.
ScheduleReply parseScheduleReply(std::string_view body);

// True for an http or https URL without blanks or control characters: a URL with CR or LF
// (from the server or a stored file) is refused before it reaches a request line.
bool urlIsSendable(std::string_view url);

}  // namespace bus

class UploadScheduleManager {
  public:
    struct Options {
        common::ZemServerConfig* config = nullptr;        // nullptr: the process's shared configuration
        std::function<std::string()> deviceUuid;  // empty: this device's hardware UUID
        std::string settingPath;                  // empty: createSettingPath()
    };
    static UploadScheduleManager& sharedInstance();
    UploadScheduleManager();
    explicit UploadScheduleManager(Options options);
    // Waits for a fetch still running.
    ~UploadScheduleManager();

    // Starts one fetch and returns; done (when given) runs once with true when a schedule was
    // stored, on the session's queue (at once when no server is configured).
    void startUploadScheduleRequest(std::function<void(bool stored)> done = {});
    // "ScheduleSetting.data" in the product's root data directory.
    static std::string createSettingPath();
    std::string settingPath() const { return settingPath_; }

    // The stored schedule; nothing when the file is missing or unreadable.
    std::optional<std::vector<UploadScheduleModel>> readSchedule() const;
    // Replaces the stored schedule in one step (readers see the old or the new list, never none).
    bool writeSchedule(const std::vector<UploadScheduleModel>& models) const;
    // Waits until no fetch of this manager is running.
    bool waitUntilIdle(std::chrono::milliseconds limit);

    // Per-request time-out of the fetch, and the largest reply taken.
    static constexpr std::chrono::milliseconds kTimeout{30'000};
    static constexpr size_t kMaxReplyBytes = 1u << 20;

  private:
    common::ZemServerConfig& config() const;
    Options options_;
    std::string settingPath_;
    std::shared_ptr<hollin::ZemHttpSession> session_;
    std::mutex idleMutex_;
    std::condition_variable idle_;
    size_t running_ = 0;
};
