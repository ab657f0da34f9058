#include "ZemCollectQORLogManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <nlohmann/json.hpp>

#include "platform/archive/KeyedArchive.h"
#include "platform/paths/Paths.h"
#include "framework/process/FileManager.h"

using calix::FileManager;

namespace {

constexpr const char* kKeys[] = {"access_time", "machine_name",   "procname",    "pid",
                                 "src_port",    "agent_port",     "local_ip",    "dest_ip",
                                 "dest_port",   "request_method", "request_url", "request_referer",
                                 "user-agent",  "traceid",        "current_user"};
constexpr size_t kReadChunk = 64 * 1024;
// A longer run of bytes without a line end is cut into lines of this size.
constexpr size_t kMaxLineBytes = 1u << 20;

std::string removing(std::string text, std::string_view characters) {
    std::erase_if(text, [&](char c) { return characters.find(c) != std::string_view::npos; });
    return text;
}

int64_t integerField(const archive::Dictionary& fields, const char* key, int64_t fallback) {
    const auto it = fields.find(key);
    if (it == fields.end()) return fallback;
    return it->second.integer().value_or(fallback);
}

std::string stringField(const archive::Dictionary& fields, const char* key, std::string fallback) {
    const auto it = fields.find(key);
    if (it == fields.end() || !it->second.string()) return fallback;
    return *it->second.string();
}

}  // namespace

// ZemQORFileInfoMode

archive::Object ZemQORFileInfoMode::encode() const {
    return archive::Object{kClassName,
                           {{"fileName", fileName},
                            {"fileModifyTime", fileModifyTime},
                            {"fileCurrentOffset", fileCurrentOffset},
                            {"fileIdentity", fileIdentity}}};
}

std::optional<ZemQORFileInfoMode> ZemQORFileInfoMode::decode(const archive::Value& value) {
    const archive::Object* object = value.object();
    if (!object || object->className != kClassName) return std::nullopt;
    ZemQORFileInfoMode mode;
    mode.fileName = stringField(object->fields, "fileName", mode.fileName);
    mode.fileModifyTime = stringField(object->fields, "fileModifyTime", mode.fileModifyTime);
    mode.fileCurrentOffset = std::max<int64_t>(0, integerField(object->fields, "fileCurrentOffset", 0));
    mode.fileIdentity = integerField(object->fields, "fileIdentity", 0);
    return mode;
}

// ZemLineReader

std::optional<ZemLineReader> ZemLineReader::initWithFilePath(const std::string& path) {
    if (path.empty()) return std::nullopt;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    ZemLineReader reader;
    reader.fd_ = fd;
    reader.totalFileLength_ = static_cast<uint64_t>(st.st_size);
    reader.identity_ = static_cast<int64_t>(st.st_ino);
    const size_t slash = path.find_last_of('/');
    reader.fileName_ = slash == std::string::npos ? path : path.substr(slash + 1);
    std::tm local{};
    const time_t mtime = st.st_mtim.tv_sec;
    char text[32];
    if (::localtime_r(&mtime, &local) && std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) > 0)
        reader.modefyTime_ = text;
    return reader;
}

ZemLineReader::ZemLineReader(ZemLineReader&& other) noexcept {
    *this = std::move(other);
}

ZemLineReader& ZemLineReader::operator=(ZemLineReader&& other) noexcept {
    if (this == &other) return *this;
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    fileName_ = std::move(other.fileName_);
    modefyTime_ = std::move(other.modefyTime_);
    identity_ = other.identity_;
    totalFileLength_ = other.totalFileLength_;
    currentOffset_ = other.currentOffset_;
    buffer_ = std::move(other.buffer_);
    bufferOffset_ = other.bufferOffset_;
    return *this;
}

ZemLineReader::~ZemLineReader() {
    if (fd_ >= 0) ::close(fd_);
}

void ZemLineReader::setM_currentOffset(uint64_t offset) {
    currentOffset_ = offset;
    buffer_.clear();
    bufferOffset_ = offset;
}

// Reads the next chunk after what is buffered, never past the length the file had at opening.
void ZemLineReader::fill() {
    const uint64_t end = bufferOffset_ + buffer_.size();
    if (end >= totalFileLength_) return;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kReadChunk, totalFileLength_ - end));
    std::vector<char> chunk(want);
    ssize_t n;
    do {
        n = ::pread(fd_, chunk.data(), want, static_cast<off_t>(end));
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        // The file shrank under us or cannot be read: what is left is not there.
        totalFileLength_ = end;
        return;
    }
    buffer_.insert(buffer_.end(), chunk.begin(), chunk.begin() + n);
}

std::optional<std::string> ZemLineReader::readLine() {
    if (totalFileLength_ == 0 || currentOffset_ >= totalFileLength_) return std::nullopt;
    if (currentOffset_ < bufferOffset_ || currentOffset_ > bufferOffset_ + buffer_.size()) {
        buffer_.clear();
        bufferOffset_ = currentOffset_;
    }
    size_t start = static_cast<size_t>(currentOffset_ - bufferOffset_);
    size_t searched = start;
    const auto take = [&](size_t end) {
        std::string line(buffer_.begin() + static_cast<ptrdiff_t>(start),
                         buffer_.begin() + static_cast<ptrdiff_t>(end));
        currentOffset_ += line.size();
        return line;
    };
    while (true) {
        const auto from = buffer_.begin() + static_cast<ptrdiff_t>(searched);
        const auto newline = std::find(from, buffer_.end(), '\n');
        if (newline != buffer_.end()) return take(static_cast<size_t>(newline - buffer_.begin()) + 1);
        if (buffer_.size() - start >= kMaxLineBytes) return take(start + kMaxLineBytes);
        searched = buffer_.size();
        // Drop what was read before this line, then read on.
        if (start > 0) {
            buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<ptrdiff_t>(start));
            bufferOffset_ += start;
            searched -= start;
            start = 0;
        }
        const size_t before = buffer_.size();
        fill();
        if (buffer_.size() == before) break;
    }
    if (buffer_.size() == start) {
        currentOffset_ = totalFileLength_;
        return std::nullopt;
    }
    // The last line of the file without its newline.
    return take(buffer_.size());
}

// ZemCollectQORLogManager

ZemCollectQORLogManager& ZemCollectQORLogManager::sharedInstance() {
    static ZemCollectQORLogManager instance(nullptr);
    return instance;
}

ZemCollectQORLogManager::ZemCollectQORLogManager(UploadFunction upload, std::string archivePath,
                                                 std::string logFolder)
    : upload_(std::move(upload)),
      archivePath_(archivePath.empty() ? saveProjPath() : std::move(archivePath)),
      logFolder_(logFolder.empty() ? logFolderPath() : std::move(logFolder)) {
    const auto decoded = archive::unarchiveObjectWithFile(archivePath_, {ZemQORFileInfoMode::kClassName});
    if (!decoded || !decoded.value->array()) return;
    for (const auto& item : *decoded.value->array()) {
        auto mode = ZemQORFileInfoMode::decode(item);
        if (!mode) continue;
        const bool known = std::any_of(filesArr_.begin(), filesArr_.end(),
                                       [&](const auto& m) { return m.fileName == mode->fileName; });
        if (!known) filesArr_.push_back(std::move(*mode));
    }
}

void ZemCollectQORLogManager::setUploadFunction(UploadFunction upload) {
    std::lock_guard lock(mutex_);
    upload_ = std::move(upload);
}

std::string ZemCollectQORLogManager::saveProjPath() {
    return FileManager::sharedInstance().createAppRootDirectory() + "/" + kArchiveName;
}

std::string ZemCollectQORLogManager::logFolderPath() {
    return paths::localLibraryFolder() + "/Logs/com.velmora.nimbrel";
}

std::vector<ZemQORFileInfoMode> ZemCollectQORLogManager::filesArr() const {
    std::lock_guard lock(mutex_);
    return filesArr_;
}

bool ZemCollectQORLogManager::save() const {
    archive::Array items;
    for (const auto& mode : filesArr_) items.push_back(mode.encode());
    return archive::archiveRootObjectToFile(archive::Value(std::move(items)), archivePath_);
}

std::vector<std::string> ZemCollectQORLogManager::splitFields(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    std::vector<std::string> fields;
    if (line.empty()) return fields;
    size_t i = 0;
    while (true) {
        std::string field;
        if (i < line.size() && line[i] == '"') {
            // Quoted: a doubled quote stands for one; the field ends at a quote before a comma or
            // the end. A quote followed by anything else is kept as text.
            ++i;
            while (i < line.size()) {
                if (line[i] == '"') {
                    if (i + 1 < line.size() && line[i + 1] == '"') {
                        field += '"';
                        i += 2;
                        continue;
                    }
                    if (i + 1 == line.size() || line[i + 1] == ',') {
                        ++i;
                        break;
                    }
                }
                field += line[i++];
            }
        } else {
            const size_t comma = line.find(',', i);
            const size_t end = comma == std::string_view::npos ? line.size() : comma;
            field.assign(line.substr(i, end - i));
            i = end;
        }
        fields.push_back(std::move(field));
        if (i >= line.size()) break;
        ++i;  // the comma
        if (i == line.size()) {
            fields.emplace_back();
            break;
        }
    }
    return fields;
}

ZemCollectQORLogManager::Record ZemCollectQORLogManager::parseStrToDic(std::string_view line) {
    const auto fields = splitFields(line);
    Record record;
    const size_t count = std::min(fields.size(), std::size(kKeys));
    for (size_t position = 0; position < count; ++position) {
        std::string value = fields[position];
        // Line ends inside a field never belong to its value.
        if (position == 13 || position == 14) value = removing(std::move(value), "\r\n");
        record.emplace_back(kKeys[position], std::move(value));
    }
    record.emplace_back("category", "qoraccesslog");
    return record;
}

std::vector<uint8_t> ZemCollectQORLogManager::recordsJson(const std::vector<Record>& records) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const auto& record : records) {
        nlohmann::ordered_json object = nlohmann::ordered_json::object();
        for (const auto& [key, value] : record) object[key] = value;
        array.push_back(std::move(object));
    }
    // Bytes that are not UTF-8 are replaced rather than failing the whole report.
    const std::string text = array.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    return {text.begin(), text.end()};
}

void ZemCollectQORLogManager::CheckfilesInfo() {
    std::lock_guard lock(mutex_);
    // Without a receiver, reading would move the offsets past lines nobody got.
    if (!upload_) return;
    std::vector<std::string> files;
    if (DIR* dir = ::opendir(logFolder_.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.find(kFileNamePart) != std::string::npos) files.push_back(logFolder_ + "/" + name);
        }
        ::closedir(dir);
    }
    for (const auto& path : files) {
        auto reader = ZemLineReader::initWithFilePath(path);
        if (!reader) continue;
        auto entry = std::find_if(filesArr_.begin(), filesArr_.end(),
                                  [&](const auto& m) { return m.fileName == reader->fileName(); });
        if (entry == filesArr_.end()) {
            ZemQORFileInfoMode mode;
            mode.fileName = reader->fileName();
            mode.fileModifyTime = reader->modefyTime();
            mode.fileIdentity = reader->identity();
            filesArr_.push_back(std::move(mode));
            entry = filesArr_.end() - 1;
        } else {
            const uint64_t stored = static_cast<uint64_t>(entry->fileCurrentOffset);
            const bool sameFile = entry->fileIdentity == 0 || entry->fileIdentity == reader->identity();
            // The time has whole seconds only: lines added within the second of the last read
            // still show as a longer file.
            if (reader->modefyTime() == entry->fileModifyTime && sameFile &&
                reader->totalFileLength() == stored)
                continue;
            entry->fileModifyTime = reader->modefyTime();
            entry->fileIdentity = reader->identity();
            // A file that shrank or was replaced under the same name starts again at its start.
            reader->setM_currentOffset(sameFile && reader->totalFileLength() >= stored ? stored : 0);
        }
        const uint64_t start = reader->m_currentOffset();
        std::vector<Record> records;
        while (reader->m_currentOffset() - start < kMaxBytesPerPass) {
            auto line = reader->readLine();
            if (!line) break;
            records.push_back(parseStrToDic(*line));
        }
        entry->fileCurrentOffset = static_cast<int64_t>(reader->m_currentOffset());
        if (records.empty()) continue;
        if (upload_) upload_(recordsJson(records));
        save();
    }
}
