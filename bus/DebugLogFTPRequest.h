// The two transports of a debug-log archive: FTP upload or a multipart HTTP POST, both over
// libcurl, each bounded by a connect time-out and a low-speed limit so a stalled server ends the
// upload with a failure instead of holding it forever.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "bus/ZemDebugModel.h"

// Bounds of one upload.
struct DebugLogUploadLimits {
    std::chrono::milliseconds connectTimeout{30'000};
    // Fewer than lowSpeedBytes a second for lowSpeedTime ends the transfer.
    long lowSpeedBytes = 1;
    std::chrono::seconds lowSpeedTime{60};
    // The longest wait for one answer of the FTP server (the one after the data, too).
    std::chrono::seconds responseTimeout{60};
};

class DebugLogFTPRequest {
  public:
    using UploadProgress = std::function<void(uint64_t sendSize, uint64_t totalSize)>;
    // success, and on failure the error's text
    using UploadComplete = std::function<void(bool success, const std::string& error)>;

    using Limits = DebugLogUploadLimits;

    // The error domain and code of a failed FTP upload.
    static constexpr const char* kFTPErrorDomain = "ftp://NSStreamEventErrorOccurred";
    static constexpr int kFTPErrorCode = -1000;

    DebugLogFTPRequest() = default;
    explicit DebugLogFTPRequest(Limits limits) : limits_(limits) {}

    // Uploads model.fileData by FTP when uploadType is 1, by HTTP otherwise. Runs on the calling
    // thread; the completion has run once when this returns.
    void uploadDebugLogToFTPServ(const ZemDebugModel& model, UploadProgress uploadProgress,
                                 UploadComplete completion);

    // "ftp://<ftpURL>:<ftp_port><ftp_path>" trimmed, with fileName appended as the last path
    // component. Nothing when the address is empty or the text holds a control character or a
    // blank inside it.
    static std::optional<std::string> ftpUploadURL(const ZemDebugModel& model);

  private:
    void uploadFTP(const ZemDebugModel& model);
    void uploadHTTP(const ZemDebugModel& model);

    Limits limits_;
    UploadProgress uploadProgressBlock_;
    UploadComplete uploadCompleteBlock_;
};
