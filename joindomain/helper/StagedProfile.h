// The 802.1X profiles on their way from the domain-join app (running as root) to its helper: the
// app leaves the profile it has just written in a folder of root's own, and the helper installs
// only that copy, never a file from a user's folder.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sorrel {

// <runtime folder>/profiles: root's, mode 0700.
std::string stagedProfileFolder();

// App side: writes the profile as <staged folder>/<name> (root's, 0600, atomically). The path
// to send to the helper, or nothing when it cannot be written.
std::optional<std::string> stageProfile(const std::string& name, std::span<const uint8_t> bytes);

// Helper side: the bytes of the staged profile name, when path names exactly that file, the
// folder is root's alone and the file is root's regular file (not a link). The file is removed
// once read, so each profile the app writes is installed once. Nothing otherwise, with *why.
std::optional<std::vector<uint8_t>> takeStagedProfile(const std::string& path, const std::string& name,
                                                      std::string* why);

}  // namespace sorrel
