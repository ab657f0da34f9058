// The last good server and the current network type, shared by every process through
// record_server.archive in the machine support folder. Only the daemon's -run job writes it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/archive/Value.h"

namespace common {

class ZemNetworkInfoModel {
  public:
    static constexpr const char* kClassName = "ZemNetworkInfoModel";

    int64_t networkType = 0;    // 0 intranet, 1 extranet, 2 neither answered: picks the round-robin list
    std::string record_server;  // host of the server that last answered the main link
    uint64_t record_port = 0;

    // The stored record; nothing when the file is missing or does not hold one.
    static std::optional<ZemNetworkInfoModel> currentNetRecord();
    // Writes the record atomically; true also when the stored record already equals it (then
    // nothing is written).
    bool saveModelRecord() const;
    // Removes the file; true when a file was removed.
    static bool deleteCurrentNetModelRecord();
    // The archive path; with check, the machine support folder is created first when missing.
    static std::string modelSavePathWithCheck(bool check);

    // "host:port" of the record.
    std::string serverText() const;

    archive::Value encode() const;
    static std::optional<ZemNetworkInfoModel> decode(const archive::Value& value);
    bool operator==(const ZemNetworkInfoModel&) const = default;
};

}  // namespace common
