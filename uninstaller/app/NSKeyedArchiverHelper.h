// Keyed-archive files of the uninstaller: its settings file is read with only the plain property
// list types allowed (texts, numbers, arrays, dictionaries, null).
#pragma once

#include <optional>
#include <string>

#include "platform/archive/Value.h"

namespace quillet {

class NSKeyedArchiverHelper {
  public:
    // Archives the object and, when that worked, replaces the file at path with it atomically.
    static bool archiveRootObject(const archive::Value& object, const std::string& path);
    // The archived object, or nothing when the file is missing, unreadable or holds other types.
    static std::optional<archive::Value> unarchivedObjectWithFilePath(const std::string& path);
};

}  // namespace quillet
