#include "ValueCoding.h"

#include "platform/archive/Plist.h"

namespace ipc {

bool needsKeyedArchive(const archive::Value& value) {
    if (value.isNull() || value.isObject()) return true;
    if (const archive::Array* a = value.array()) {
        for (const archive::Value& v : *a) {
            if (needsKeyedArchive(v)) return true;
        }
    }
    if (const archive::Dictionary* d = value.dictionary()) {
        for (const auto& [key, v] : *d) {
            if (needsKeyedArchive(v)) return true;
        }
    }
    return false;
}

std::optional<std::vector<uint8_t>> encodeValue(const archive::Value& value) {
    bool keyed = needsKeyedArchive(value);
    std::optional<archive::Data> body = keyed ? archive::archivedData(value, archive::PlistFormat::Binary)
                                              : archive::serializePlist(value, archive::PlistFormat::Binary);
    if (!body) return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(body->size() + 1);
    out.push_back(keyed ? 'k' : 'p');
    out.insert(out.end(), body->begin(), body->end());
    return out;
}

std::optional<archive::Value> decodeValue(std::span<const uint8_t> bytes,
                                          const archive::ClassAllowList& allowed, std::string* error) {
    if (bytes.empty()) {
        if (error) *error = "empty message";
        return std::nullopt;
    }
    std::span<const uint8_t> body = bytes.subspan(1);
    if (bytes[0] == 'p') return archive::parsePlist(body, error);
    if (bytes[0] == 'k') {
        archive::DecodeResult r = archive::unarchive(body, allowed);
        if (!r && error) *error = r.error;
        return r.value;
    }
    if (error) *error = "unknown message form";
    return std::nullopt;
}

}  // namespace ipc
