// The console user's folder "RavAvizaL" under "~/Library/Application Support": the keyed archives
// the login session writes for the daemon and reads back. Every access goes through the folder's
// descriptor; every write replaces the file atomically, so a reader sees the old file or the new
// one, never a fragment.
#pragma once

#include <optional>
#include <string>

#include "platform/archive/Value.h"

namespace hux::UserStateFolder {

// Largest state archive read.
inline constexpr size_t kMaxArchiveBytes = size_t{8} << 20;

bool exists(const std::string& name);
// The root object; nothing when the file is missing, too large, not the user's or no archive.
std::optional<archive::Value> read(const std::string& name);
// The root object as text; nothing when it is missing or no string.
std::optional<std::string> readString(const std::string& name);
// Creates the folder when missing and replaces name with the archive of root (mode 0600).
bool write(const std::string& name, const archive::Value& root);
// True when a file was removed.
bool remove(const std::string& name);

}  // namespace hux::UserStateFolder
