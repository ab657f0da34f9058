#include "NSKeyedArchiverHelper.h"

#include "platform/archive/KeyedArchive.h"

namespace quillet {

namespace {

constexpr size_t kMaxSettingsBytes = 1u << 20;

bool plainTypesOnly(const archive::Value& value) {
    if (value.isData() || value.isDate() || value.isObject()) return false;
    if (const archive::Array* a = value.array()) {
        for (const archive::Value& v : *a) {
            if (!plainTypesOnly(v)) return false;
        }
    }
    if (const archive::Dictionary* d = value.dictionary()) {
        for (const auto& entry : *d) {
            if (!plainTypesOnly(entry.second)) return false;
        }
    }
    return true;
}

}  // namespace

bool NSKeyedArchiverHelper::archiveRootObject(const archive::Value& object, const std::string& path) {
    return archive::archiveRootObjectToFile(object, path);
}

std::optional<archive::Value> NSKeyedArchiverHelper::unarchivedObjectWithFilePath(const std::string& path) {
    archive::DecodeLimits limits;
    limits.maxBytes = kMaxSettingsBytes;
    archive::DecodeResult decoded = archive::unarchiveObjectWithFile(path, {}, limits);
    if (!decoded || !plainTypesOnly(*decoded.value)) return std::nullopt;
    return decoded.value;
}

}  // namespace quillet
