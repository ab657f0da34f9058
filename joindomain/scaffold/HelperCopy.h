// The helper copy operation: root replaces one file of the privileged-helper folder with a copy
// of a regular file, through the folder's descriptor, without shell tools.
#pragma once

#include <optional>
#include <string>

namespace helperscaffold {

struct HelperCopy {
    // Why the old file could not be replaced, or nothing when it could (or there was none).
    std::optional<std::string> removeError;
    // Why the copy failed, or nothing when the new file is in place.
    std::optional<std::string> copyError;
    bool ok() const { return !removeError && !copyError; }
};

// destination must be <privileged-helper folder>/<plain name>, and neither a link nor a folder;
// source must be a regular file (not a link). The copy is written to a temporary file of the
// folder, synced and renamed over the name, so the folder never holds a partial helper.
HelperCopy copyIntoHelperFolder(const std::string& source, const std::string& destination);

}  // namespace helperscaffold
