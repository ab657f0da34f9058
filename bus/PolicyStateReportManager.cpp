#include "PolicyStateReportManager.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <mutex>

#include "platform/archive/Plist.h"
#include "framework/encoding/DateUtil.h"
#include "platform/paths/Paths.h"
#include "framework/process/FileManager.h"

using calix::FileManager;

namespace fs = std::filesystem;

namespace {
// Serialises name choice and writing within the process, so two failures in one second keep both.
std::mutex& cacheMutex() {
    static std::mutex m;
    return m;
}
constexpr size_t kMaxCacheFileBytes = 4u << 20;
}  // namespace

std::string PolicyStateReportManager::cacheFolder() {
    return paths::under("/Library/Logs/RavAviza/v5/policystatecache");
}

std::string PolicyStateReportManager::createSavePath() {
    std::string stamp;
    for (char c : date::currentDateString())
        if (c != ':' && c != '-' && c != ' ') stamp += c;
    const std::string base = cacheFolder() + "/policystate-" + stamp;
    std::string path = base;
    std::error_code ec;
    for (int n = 1; fs::exists(path, ec); ++n) path = base + "-" + std::to_string(n);
    return path;
}

bool PolicyStateReportManager::saveUploadedPolicyState(const archive::Array& states) {
    std::lock_guard lock(cacheMutex());
    const std::string folder = cacheFolder();
    const fs::path parent = fs::path(folder).parent_path();
    FileManager::sharedInstance().createDirectoryWithName(fs::path(folder).filename(), parent.string());
    return archive::writePlistFile(archive::Value(states), createSavePath());
}

std::optional<archive::Array> PolicyStateReportManager::getUploadedPolicyStateFromDisk() {
    std::lock_guard lock(cacheMutex());
    const std::string folder = cacheFolder();
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename();
        if (!name.empty() && name[0] != '.') names.push_back(name);
    }
    if (names.empty()) return std::nullopt;
    std::sort(names.begin(), names.end());
    archive::Array states;
    for (const auto& name : names) {
        const std::string path = folder + "/" + name;
        if (auto value = archive::readPlistFile(path, nullptr, kMaxCacheFileBytes)) {
            if (const auto* items = value->array()) states.insert(states.end(), items->begin(), items->end());
        }
        fs::remove(path, ec);
        if (states.size() >= kReadEnough) break;
    }
    return states;
}
