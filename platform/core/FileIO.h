// Careful file access: atomic replacement of state files, and reads of files that another
// user can write (no symlinks followed, owner and size checked).
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace fileio {

// Writes all bytes to fd, retrying short writes and interruptions.
bool writeAll(int fd, std::span<const uint8_t> bytes);

// As writeAll, but says how far it got: the number of bytes the file took, and in *error the
// errno of the write that stopped it (0 when every byte was written). A full disk can take the
// first part of a buffer and refuse the rest.
size_t writeCounted(int fd, std::span<const uint8_t> bytes, int* error = nullptr);

// Writes bytes to a temporary file beside path, fsyncs it and renames it over path.
// mode applies to the new file. Returns false (and leaves path untouched) on any failure.
bool writeFileAtomically(const std::string& path, std::span<const uint8_t> bytes, mode_t mode = 0644);
bool writeFileAtomically(const std::string& path, const std::string& text, mode_t mode = 0644);
// As writeFileAtomically without the fsyncs: readers still see the old or the new contents,
// but after a power cut the file may be empty. For bookkeeping that is rebuilt when lost and is
// rewritten often enough that two disk flushes per write would be its main cost.
bool replaceFileUnsynced(const std::string& path, std::span<const uint8_t> bytes, mode_t mode = 0644);

// Removes the temporary copies that writeFileAtomically leaves in folder when its process dies
// between creating one and renaming it ("<name>.tmp.XXXXXX"): only regular files owned by this
// user and last modified before `before`. The folder is opened once (no symlink followed) and
// every entry is examined and removed through its descriptor. Returns the number removed.
size_t removeStaleTemporaries(const std::string& folder, const timespec& before);

// Reads a whole file of at most maxBytes; nothing when missing, unreadable or larger.
std::optional<std::vector<uint8_t>> readFile(const std::string& path, size_t maxBytes);

// Reads a file that a user may control: opened with O_NOFOLLOW, must be a regular file,
// owned by expectedOwner when given, and at most maxBytes long.
std::optional<std::vector<uint8_t>> readUserFile(const std::string& path, std::optional<uid_t> expectedOwner,
                                                 size_t maxBytes);

}  // namespace fileio
