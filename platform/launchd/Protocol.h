// The request and reply dictionaries between launchctl and launchd. Not for other modules.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/archive/Value.h"
#include "Client.h"

namespace launchd::protocol {

inline constexpr size_t kMaxFrameBytes = 1u << 20;

// Request keys: Command ("load", "unload", "list"), Path, Label, Write, Force, UserName.
inline constexpr const char* kCommand = "Command";
inline constexpr const char* kPath = "Path";
inline constexpr const char* kLabel = "Label";
inline constexpr const char* kWrite = "Write";
inline constexpr const char* kForce = "Force";
inline constexpr const char* kUserName = "UserName";

// Reply keys: Status ("Ok", "NotFound", "Failed"), Message, Jobs.
inline constexpr const char* kStatus = "Status";
inline constexpr const char* kMessage = "Message";
inline constexpr const char* kJobs = "Jobs";

archive::Value encodeJob(const JobStatus& job);
std::optional<JobStatus> decodeJob(const archive::Value& value);

archive::Value encodeReply(const Reply& reply);
// A reply that is no dictionary, or that has an unknown status, decodes as Failed.
Reply decodeReply(const archive::Value& value);

}  // namespace launchd::protocol
