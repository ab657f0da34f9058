// The disk cache of policy states that could not be sent: one property-list array per file in
// /Library/Logs/RavAviza/v5/policystatecache, read (and removed) by the next report.
#pragma once

#include <optional>
#include <string>

#include "platform/archive/Value.h"

class PolicyStateReportManager {
  public:
    // Reading stops once it holds this many states; the files not read stay for the next report.
    static constexpr size_t kReadEnough = 21;

    static std::string cacheFolder();
    // The cached states in file-name order (oldest first); every file read is removed, readable or
    // not. Nothing when the folder is missing or empty.
    static std::optional<archive::Array> getUploadedPolicyStateFromDisk();
    // Stores the states as a new file, written atomically; false when it could not be written.
    static bool saveUploadedPolicyState(const archive::Array& states);
    // A new file's path: "policystate-" and the UTC+8 time as fourteen digits. A second file
    // within the same second gets "-1", "-2", ... appended rather than replacing the first.
    static std::string createSavePath();
};
