// The daemon's own defaults, kept in a root-owned property list of the machine folder. The
// watchdog reads "NotAutoRun" from here; the local service writes it.
#pragma once

#include <optional>
#include <string>

#include "platform/archive/Value.h"

namespace service {

inline constexpr const char* kNotAutoRunKey = "NotAutoRun";

// <machine support>/com.velmora.Hollin.defaults.plist
std::string daemonDefaultsFile();

// The value stored under key; nothing when the file or the key is missing.
std::optional<archive::Value> daemonDefault(const std::string& key);
// Stores value under key, keeping the other keys; written atomically. False on failure.
bool setDaemonDefault(const std::string& key, const archive::Value& value);

}  // namespace service
