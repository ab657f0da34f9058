#include "ZemNetworkInfoModel.h"

#include <filesystem>
#include <system_error>

#include "platform/archive/KeyedArchive.h"
#include "platform/paths/Paths.h"

namespace common {

namespace {

constexpr size_t kMaxRecordBytes = 64 * 1024;

}  // namespace

std::string ZemNetworkInfoModel::modelSavePathWithCheck(bool check) {
    if (check) {
        std::error_code ec;
        if (!std::filesystem::is_directory(paths::machineSupportFolder(), ec)) {
            std::filesystem::create_directories(paths::machineSupportFolder(), ec);
        }
    }
    return paths::lastServerRecordFile();
}

std::string ZemNetworkInfoModel::serverText() const {
    return record_server + ":" + std::to_string(static_cast<int64_t>(record_port));
}

archive::Value ZemNetworkInfoModel::encode() const {
    return archive::Object{kClassName,
                           {{"networkType", networkType},
                            {"record_server", record_server},
                            {"record_port", static_cast<int64_t>(record_port)}}};
}

std::optional<ZemNetworkInfoModel> ZemNetworkInfoModel::decode(const archive::Value& value) {
    const archive::Object* object = value.object();
    if (!object || object->className != kClassName) return std::nullopt;
    auto field = [&](const char* key) -> const archive::Value* {
        auto it = object->fields.find(key);
        return it == object->fields.end() ? nullptr : &it->second;
    };
    ZemNetworkInfoModel model;
    if (const auto* v = field("networkType")) model.networkType = v->integer().value_or(0);
    if (const auto* v = field("record_server"); v && v->string()) model.record_server = *v->string();
    if (const auto* v = field("record_port"))
        model.record_port = static_cast<uint64_t>(v->integer().value_or(0));
    return model;
}

std::optional<ZemNetworkInfoModel> ZemNetworkInfoModel::currentNetRecord() {
    std::string path = modelSavePathWithCheck(false);
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return std::nullopt;
    archive::DecodeLimits limits;
    limits.maxBytes = kMaxRecordBytes;
    auto decoded = archive::unarchiveObjectWithFile(path, {kClassName}, limits);
    if (!decoded) return std::nullopt;
    return decode(*decoded.value);
}

bool ZemNetworkInfoModel::saveModelRecord() const {
    std::string path = modelSavePathWithCheck(true);
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) {
        if (auto stored = currentNetRecord(); stored && *stored == *this) return true;
    }
    return archive::archiveRootObjectToFile(encode(), path);
}

bool ZemNetworkInfoModel::deleteCurrentNetModelRecord() {
    std::error_code ec;
    return std::filesystem::remove(modelSavePathWithCheck(false), ec);
}

}  // namespace common
