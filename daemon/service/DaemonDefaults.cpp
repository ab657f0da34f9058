#include "DaemonDefaults.h"

#include <mutex>

#include "platform/archive/Plist.h"
#include "platform/core/FileIO.h"
#include "platform/paths/Paths.h"

namespace service {

namespace {
constexpr size_t kMaxDefaultsBytes = 1u << 20;
std::mutex& defaultsMutex() {
    static std::mutex m;
    return m;
}
std::optional<archive::Dictionary> readDefaults() {
    auto bytes = fileio::readUserFile(daemonDefaultsFile(), 0, kMaxDefaultsBytes);
    if (!bytes) return std::nullopt;
    auto value = archive::parsePlist(*bytes);
    if (!value || !value->dictionary()) return std::nullopt;
    return *value->dictionary();
}
}  // namespace

std::string daemonDefaultsFile() {
    return paths::machineSupportFolder() + "/com.velmora.Hollin.defaults.plist";
}

std::optional<archive::Value> daemonDefault(const std::string& key) {
    std::lock_guard lock(defaultsMutex());
    auto dict = readDefaults();
    if (!dict) return std::nullopt;
    auto it = dict->find(key);
    if (it == dict->end()) return std::nullopt;
    return it->second;
}

bool setDaemonDefault(const std::string& key, const archive::Value& value) {
    std::lock_guard lock(defaultsMutex());
    archive::Dictionary dict = readDefaults().value_or(archive::Dictionary{});
    dict[key] = value;
    auto bytes = archive::serializePlist(archive::Value(std::move(dict)), archive::PlistFormat::Xml);
    return bytes && fileio::writeFileAtomically(daemonDefaultsFile(), *bytes, 0644);
}

}  // namespace service
