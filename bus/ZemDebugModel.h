// The debug-log upload settings the server gave last (kept in "ZemDebug.data" in the product
// root), and the upload job's description of one archive to send.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/archive/Value.h"

struct ZemDebugModel {
    static constexpr const char* kClassName = "ZemDebugModel";

    int32_t curSeq = 0;
    int32_t uploadType = 0;  // 1: FTP; anything else: HTTP
    uint32_t ftp_port = 0;
    std::optional<std::string> uploadURL = std::string();
    std::optional<std::string> ftpURL = std::string();
    std::optional<std::string> ftp_path;
    std::optional<std::string> ftp_user = std::string();
    std::optional<std::string> ftp_password = std::string();

    // Not archived: the archive of one job.
    std::vector<uint8_t> fileData;
    std::string fileName;
    std::string origionPath;
    int64_t totalSize = 0;

    archive::Object encode() const;
    // From the defaults above: every archived key sets its field (a missing integer is 0, a
    // missing string unset). Nothing for another class.
    static std::optional<ZemDebugModel> decode(const archive::Value& value);
    // The settings and the archive for the log; the password is never shown.
    std::string description() const;
};

class ZemDebugModelManager {
  public:
    // Replaces the stored settings (atomic, 0600).
    static bool saveDebugModelToLocal(const ZemDebugModel& model);
    // The stored settings, or nothing when the file is empty, unreadable or holds another class.
    static std::optional<ZemDebugModel> localDebugModel();
    // <product root>/ZemDebug.data, made empty (0600) when missing. It holds an FTP password,
    // so an existing file is narrowed to 0600 as well.
    static std::string _archivePath();
};
