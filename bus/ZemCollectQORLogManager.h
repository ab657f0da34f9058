// Access-log collection: on every tick of the service's timer, the lines the outside VPN component
// added to its access-log files since the last pass are parsed into records and handed on as one
// JSON array per file. A keyed archive of read positions makes every line count once, across
// restarts of the service.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/archive/Value.h"

// How far one access-log file has been read.
struct ZemQORFileInfoMode {
    static constexpr const char* kClassName = "ZemQORFileInfoMode";

    std::string fileName = "unknown";
    std::string fileModifyTime = "unknown";  // "yyyy-MM-dd HH:mm:ss" when last read
    int64_t fileCurrentOffset = 0;
    // The file's inode when last read (0: not known), so a file replaced under the same name is
    // read from its start.
    int64_t fileIdentity = 0;

    archive::Object encode() const;
    // Missing keys keep their defaults; nothing for another class.
    static std::optional<ZemQORFileInfoMode> decode(const archive::Value& value);
    bool operator==(const ZemQORFileInfoMode&) const = default;
};

// Returns one line at a time from a byte offset of a file, up to the length the file had when the
// reader was opened.
class ZemLineReader {
  public:
    // Nothing for an empty path or a file that is not a regular file that can be opened (a link
    // at the path is not followed).
    static std::optional<ZemLineReader> initWithFilePath(const std::string& path);

    ZemLineReader(ZemLineReader&& other) noexcept;
    ZemLineReader& operator=(ZemLineReader&& other) noexcept;
    ZemLineReader(const ZemLineReader&) = delete;
    ZemLineReader& operator=(const ZemLineReader&) = delete;
    ~ZemLineReader();

    // The next line with its "\n" (the last line of the file may lack it), or nothing at the end.
    std::optional<std::string> readLine();

    uint64_t m_currentOffset() const { return currentOffset_; }
    void setM_currentOffset(uint64_t offset);
    uint64_t totalFileLength() const { return totalFileLength_; }
    const std::string& fileName() const { return fileName_; }
    const std::string& modefyTime() const { return modefyTime_; }
    int64_t identity() const { return identity_; }

  private:
    ZemLineReader() = default;
    void fill();

    int fd_ = -1;
    std::string fileName_;
    std::string modefyTime_;
    int64_t identity_ = 0;
    uint64_t totalFileLength_ = 0;
    uint64_t currentOffset_ = 0;
    // Bytes read ahead of currentOffset_, from bufferOffset_.
    std::vector<char> buffer_;
    uint64_t bufferOffset_ = 0;
};

class ZemCollectQORLogManager {
  public:
    // Receives one JSON array of records (the report type qoraccesslog).
    using UploadFunction = std::function<void(const std::vector<uint8_t>& jsonData)>;

    static constexpr const char* kArchiveName = "qoraccesslog.archive";
    static constexpr const char* kFileNamePart = "nimbrel_access.log";
    // The most bytes read from one file in one pass; the rest waits for the next pass, so a
    // flood of lines never makes one huge report.
    static constexpr uint64_t kMaxBytesPerPass = 4u << 20;

    static ZemCollectQORLogManager& sharedInstance();

    // A collector over the archive at archivePath (empty: saveProjPath()) and the folder of the
    // access logs (empty: /Library/Logs/com.velmora.nimbrel). The archive is read here.
    explicit ZemCollectQORLogManager(UploadFunction upload, std::string archivePath = {},
                                     std::string logFolder = {});

    // Sets the receiver of the records (the report upload engine).
    void setUploadFunction(UploadFunction upload);

    // One collection pass.
    void CheckfilesInfo();

    // One record: keys and text values in the order they are written.
    using Record = std::vector<std::pair<std::string, std::string>>;

    // The record of one access-log line: its fields by position, then "category".
    static Record parseStrToDic(std::string_view line);
    // The quoted, comma-separated fields of one line (a line end at its close is not a field).
    static std::vector<std::string> splitFields(std::string_view line);
    // The pretty-printed JSON array of records.
    static std::vector<uint8_t> recordsJson(const std::vector<Record>& records);

    static std::string saveProjPath();
    static std::string logFolderPath();

    std::vector<ZemQORFileInfoMode> filesArr() const;

  private:
    bool save() const;

    mutable std::mutex mutex_;
    UploadFunction upload_;
    std::string archivePath_;
    std::string logFolder_;
    std::vector<ZemQORFileInfoMode> filesArr_;
};
