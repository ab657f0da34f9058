#include "ZemDebugModel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/archive/KeyedArchive.h"
#include "platform/core/FileIO.h"
#include "framework/process/FileManager.h"
#include "platform/paths/FileModes.h"

using calix::FileManager;

namespace {

std::optional<int64_t> integerOf(const archive::Dictionary& fields, const char* key) {
    const auto it = fields.find(key);
    if (it == fields.end()) return std::nullopt;
    return it->second.integer();
}

std::optional<std::string> stringOf(const archive::Dictionary& fields, const char* key) {
    const auto it = fields.find(key);
    if (it == fields.end() || !it->second.string()) return std::nullopt;
    return *it->second.string();
}

}  // namespace

archive::Object ZemDebugModel::encode() const {
    archive::Object object{
        kClassName,
        {{"curseq", curSeq}, {"uploadtype", uploadType}, {"ftpport", static_cast<int64_t>(ftp_port)}}};
    const std::pair<const char*, const std::optional<std::string>*> texts[] = {
        {"uploadurl", &uploadURL},
        {"ftpurl", &ftpURL},
        {"ftppth", &ftp_path},
        {"ftpuser", &ftp_user},
        {"ftppassword", &ftp_password}};
    for (const auto& [key, value] : texts)
        if (*value) object.fields.emplace(key, **value);
    return object;
}

std::optional<ZemDebugModel> ZemDebugModel::decode(const archive::Value& value) {
    const archive::Object* object = value.object();
    if (!object || object->className != kClassName) return std::nullopt;
    const auto& f = object->fields;
    ZemDebugModel model;
    model.curSeq = static_cast<int32_t>(integerOf(f, "curseq").value_or(0));
    model.uploadType = static_cast<int32_t>(integerOf(f, "uploadtype").value_or(0));
    model.ftp_port = static_cast<uint32_t>(integerOf(f, "ftpport").value_or(0));
    model.uploadURL = stringOf(f, "uploadurl");
    model.ftpURL = stringOf(f, "ftpurl");
    model.ftp_path = stringOf(f, "ftppth");
    model.ftp_user = stringOf(f, "ftpuser");
    model.ftp_password = stringOf(f, "ftppassword");
    return model;
}

std::string ZemDebugModel::description() const {
    return "uploadType: " + std::to_string(uploadType) + ", uploadURL: " + uploadURL.value_or("(null)") +
           ", ftpURL: " + ftpURL.value_or("(null)") + ", ftp_port: " + std::to_string(ftp_port) +
           ", ftp_path: " + ftp_path.value_or("(null)") + ", ftp_user: " + ftp_user.value_or("(null)") +
           ", fileName: " + fileName + ", totalSize: " + std::to_string(totalSize);
}

bool ZemDebugModelManager::saveDebugModelToLocal(const ZemDebugModel& model) {
    const auto data = archive::archivedData(archive::Value(model.encode()));
    if (!data) return false;
    return fileio::writeFileAtomically(_archivePath(), *data, paths::fileModeFor("ZemDebug.data"));
}

std::optional<ZemDebugModel> ZemDebugModelManager::localDebugModel() {
    const auto decoded = archive::unarchiveObjectWithFile(_archivePath(), {ZemDebugModel::kClassName});
    if (!decoded) return std::nullopt;
    return ZemDebugModel::decode(*decoded.value);
}

std::string ZemDebugModelManager::_archivePath() {
    const std::string path = FileManager::sharedInstance().createAppRootDirectory() + "/ZemDebug.data";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd >= 0) {
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0) ::fchmod(fd, 0600);
        ::close(fd);
    }
    return path;
}
