// The report upload engine: turns collected data of one report type into one or two gzip POSTs to
// the URL the upload schedule gives for the type, with the twelve device headers; keeps per-type
// statistics reported after every ten uploads; and keeps the reports the server did not accept
// in an encrypted cache that the service's timer sends again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bus/UploadScheduleManager.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/WorkQueue.h"

namespace hollin { class ZemHttpSession; }

// What the report headers and the access-log device body say about this machine.
struct ReportDeviceFacts {
    std::string uuid;
    std::string machineName;
    std::vector<std::string> macs;
    std::vector<std::string> ips;  // one per active network card
    static ReportDeviceFacts ofThisDevice();
};

struct ZemUploadStatisticsModel {
    std::string type;
    int32_t successCount = 0;
    int32_t errCodeCount = 0;
    int32_t netErrCodeCount = 0;
    std::string errCodeContents;         // failing reply texts, joined by ","
    std::string networkErrCodeContents;  // transport error codes in decimal, joined by ","
};

// The outcome of one POST as its completion sees it.
struct UploadResult {
    bool transportError = false;      // no usable answer: the report stays to be sent again
    int64_t errorCode = 0;            // for a transport error
    std::string errorText;            // for a transport error
    long status = 0;                  // HTTP status, 0 when none came
    std::optional<std::string> data;  // the reply body; nothing when the reply had none
};

// The headers of a report, name and value, each value already cleared of CR, LF and NUL.
using RequestHead = std::vector<std::pair<std::string, std::string>>;

namespace bus {

inline constexpr const char* kQorAccessLog = "qoraccesslog";
inline constexpr const char* kMacScript = "macscript";
inline constexpr const char* kProcessList = "macprocesslist";
inline constexpr const char* kSoftwareList = "macsoftwarelist";
inline constexpr const char* kDiskEncrypt = "macdiskencrypt";
inline constexpr const char* kCompliance = "Compliance";

// The twelve report headers of the facts.
RequestHead reportHeaders(const ReportDeviceFacts& facts);
// The machine name up to its first "-" (all of it when there is none).
std::string domainUserOf(const std::string& machineName);
// Replaces each path segment "yj" of the URL with "zem"; the host, query and other segments
// (such as "yjdata") stay as they are.
std::string accessLogUrl(const std::string& url);
// The part of a reinforcement or compliance text before its first "|".
std::string firstField(std::string_view text);
// A transport error code in the numbering the statistics line uses.
int64_t networkErrorCode(long status, bool tooLarge, const std::string& error);

}  // namespace bus

class DataReportManager {
  public:
    static constexpr int64_t kEncodeFailedCode = -1111;
    static constexpr int64_t kBadUrlCode = -1000;
    static constexpr size_t kMaxResendPerPass = 6;
    static constexpr double kCacheLifetimeSeconds = 86'400;
    static constexpr int32_t kStatisticsThreshold = 10;
    static constexpr size_t kMaxCacheFileBytes = 96u << 20;
    static constexpr size_t kMaxReplyBytes = 1u << 20;

    struct Options {
        UploadScheduleManager* schedule = nullptr;  // nullptr: the shared schedule
        std::function<ReportDeviceFacts()> facts;   // empty: this device's facts
        const dispatch::Clock* clock = nullptr;     // cache names and expiry; nullptr: the system clock
        std::string cacheFolder;                    // empty: cacheDirectory()
        std::chrono::milliseconds timeout{60'000};  // per request
    };

    static DataReportManager& sharedInstance();
    DataReportManager();
    explicit DataReportManager(Options options);
    // Waits for the requests still running.
    ~DataReportManager();
    DataReportManager(const DataReportManager&) = delete;
    DataReportManager& operator=(const DataReportManager&) = delete;

    // The report entries; each returns at once when its checks fail and otherwise starts one or
    // two uploads. Data that is absent (nullopt) is logged and dropped.
    void setReportData(const std::optional<std::string>& json);
    void uploadQorAccesslog(const std::optional<std::string>& json);
    void uploadProcessDump(const std::optional<std::string>& json);
    void uploadAppList(const std::optional<std::string>& json);
    void uploadDiskEncryptState(const std::optional<std::string>& data);
    void uploadReinforceResult(const std::optional<std::string>& data);
    void uploadComplianceResult(const std::optional<std::string>& data);
    void startUploadUserActionMonitorContent(const std::string&) {}

    // The schedule entry that governs a type, or nothing (no schedule, or the type disabled).
    std::optional<UploadScheduleModel> getUploadState(const std::string& type);

    // One report with statistics and caching.
    void startReportRequest(const std::string& body, const std::string& type, const std::string& url);
    // The bare upload: gzip, the last built headers, POST. The completion runs once, on the
    // "data report" queue.
    void uploadDataRequest(const std::string& body, const std::string& url,
                           std::function<void(const UploadResult&)> complete);
    // Builds the headers fresh from the device facts; each request takes the set current when it
    // starts, so a rebuild never changes a request under way.
    void setRequestHead();
    std::shared_ptr<const RequestHead> requestHead() const;

    // Sends the statistics line once the type has ten counted uploads.
    void uploadResultState(const ZemUploadStatisticsModel& model, const std::string& url);
    // Gzip POST of a statistics line; complete(true) when the reply's first line is "0".
    void sendMonitorRequestWithContents(const std::string& contents, const std::string& url,
                                        std::function<void(bool)> complete);

    // The failed-report cache.
    void saveUploadDataToLocalCache(const std::string& body, const std::string& type);
    void reuploadLocalCacheData();
    static std::string cacheDirectory();  // /Library/Logs/RavAviza/v5/cache
    std::string cacheFolder() const { return cacheFolder_; }
    // The key a cache file is encrypted under: type, "|" and the file name.
    static std::string cacheKey(const std::string& type, const std::string& fileName);
    // The report type a cache file name carries: what follows the "-" after its time stamp.
    static std::string reportTypeOfCacheFile(const std::string& fileName);

    // The statistics kept for a type (read on the "data report" queue).
    std::optional<ZemUploadStatisticsModel> uploadStatistics(const std::string& type) const;
    // Waits until no request, statistics check or completion of this manager is running.
    bool waitUntilIdle(std::chrono::milliseconds limit);

  private:
    void sendArrayReport(const std::optional<std::string>& json, const std::string& type, bool sizeInKiB,
                         const char* nullLog, const char* noScheduleLog);
    void sendTextReport(const std::optional<std::string>& data, const std::string& type,
                        const std::string& scheduleKey);
    void post(const std::string& body, const std::string& url, std::shared_ptr<const RequestHead> head,
              std::function<void(const UploadResult&)> complete);
    void reportCompleted(const std::string& type, const std::string& body, const std::string& url,
                         const UploadResult& result);
    void begin();
    void end();
    double now() const;

    Options options_;
    std::string cacheFolder_;
    UploadScheduleManager& schedule_;
    std::shared_ptr<dispatch::WorkQueue> queue_;       // "com.velmora.busupload": the transfers
    std::shared_ptr<dispatch::WorkQueue> replyQueue_;  // "data report": every completion
    std::shared_ptr<hollin::ZemHttpSession> sessionManager_;

    mutable std::mutex headMutex_;
    std::shared_ptr<const RequestHead> requestHead_;

    std::map<std::string, ZemUploadStatisticsModel> uploadStatistics_;  // on replyQueue_ only

    std::mutex cacheMutex_;           // cache names chosen and written one at a time
    std::set<std::string> inFlight_;  // cache files being sent; guarded by cacheMutex_

    std::mutex idleMutex_;
    std::condition_variable idle_;
    size_t running_ = 0;
};
