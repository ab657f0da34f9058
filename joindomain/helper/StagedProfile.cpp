#include "StagedProfile.h"

#include <sys/stat.h>

#include <filesystem>

#include "platform/core/UserFolder.h"
#include "platform/paths/Paths.h"

namespace sorrel {

namespace {

constexpr const char* kFolderName = "profiles";
constexpr size_t kMaxProfileBytes = 1u << 20;

bool rootsAlone(int fd, mode_t forbidden) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && st.st_uid == 0 && (st.st_mode & forbidden) == 0;
}

}  // namespace

std::string stagedProfileFolder() {
    return paths::runtimeFolder() + "/" + kFolderName;
}

std::optional<std::string> stageProfile(const std::string& name, std::span<const uint8_t> bytes) {
    if (!fileio::UserFolder::plainName(name)) return std::nullopt;
    std::error_code ec;
    std::filesystem::create_directories(paths::runtimeFolder(), ec);
    std::optional<fileio::UserFolder> folder =
        fileio::UserFolder::open(paths::runtimeFolder(), {kFolderName}, {0, 0}, true);
    // The profile holds the user's password: the folder is for root's eyes only.
    if (!folder || ::fchmod(folder->fd(), 0700) != 0 || !rootsAlone(folder->fd(), 077)) return std::nullopt;
    if (!folder->writeFileAtomically(name, bytes, 0600)) return std::nullopt;
    return stagedProfileFolder() + "/" + name;
}

std::optional<std::vector<uint8_t>> takeStagedProfile(const std::string& path, const std::string& name,
                                                      std::string* why) {
    auto refuse = [why](std::string reason) -> std::optional<std::vector<uint8_t>> {
        if (why) *why = std::move(reason);
        return std::nullopt;
    };
    if (!fileio::UserFolder::plainName(name) || path != stagedProfileFolder() + "/" + name)
        return refuse("not the profile the app staged: " + path);
    std::optional<fileio::UserFolder> folder =
        fileio::UserFolder::open(paths::runtimeFolder(), {kFolderName}, {0, 0}, false);
    if (!folder || !rootsAlone(folder->fd(), S_IWGRP | S_IWOTH))
        return refuse("cannot open root's profile folder " + stagedProfileFolder());
    std::optional<std::vector<uint8_t>> bytes = folder->readFile(name, kMaxProfileBytes);
    if (!bytes) return refuse("cannot read " + path + " as root's own file");
    folder->removeFile(name);
    return bytes;
}

}  // namespace sorrel
