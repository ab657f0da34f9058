// How property-list values travel in frames. One leading byte names the form: 'p' a binary plist,
// 'k' a keyed archive. A binary plist is used whenever it can hold the value; a value holding
// Null (nil arguments) or archived Objects needs the keyed archive, whose decoding accepts only
// the receiver's allowed classes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/archive/KeyedArchive.h"
#include "platform/archive/Value.h"

namespace ipc {

// True when the value (or anything inside it) is Null or an Object.
bool needsKeyedArchive(const archive::Value& value);

std::optional<std::vector<uint8_t>> encodeValue(const archive::Value& value);

// Nothing (and a reason in *error) for malformed input, an unknown form or disallowed classes.
std::optional<archive::Value> decodeValue(std::span<const uint8_t> bytes,
                                          const archive::ClassAllowList& allowed,
                                          std::string* error = nullptr);

}  // namespace ipc
