// Zips a folder's contents into one archive in process (no shell, no outside zip program), the
// way "cd folder && zip -r archive *" names its entries: paths relative to the folder, the
// folder's own hidden top-level entries left out, everything below them taken.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace logexport {

struct ZipOutcome {
    // Set when no complete archive could be made; nothing is then left at the archive path.
    std::optional<std::string> error;
    // Entries that could not be read (or were links, which are not followed); they are left out.
    std::vector<std::string> skipped;
    size_t files = 0;
};

// Writes the archive to a temporary file beside archivePath and renames it into place once
// complete, so a reader never sees a half-written archive. A folder that is missing or not a
// folder is an error; an empty folder gives an empty archive. The archive itself is never taken
// into the archive, even when it lies inside the folder.
ZipOutcome zipFolder(const std::string& folder, const std::string& archivePath);

}  // namespace logexport
