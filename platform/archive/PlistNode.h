// Internal to platform_archive: owned libplist nodes, a guarded parse and node <-> Value
// conversion shared by the plist and keyed-archive coders.
#pragma once

#include <plist/plist.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Plist.h"
#include "Value.h"

namespace archive::detail {

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// Bounds checked before libplist sees the bytes: libplist 2.2 expands shared references of
// binary plists into copies and recurses without limit, so a small file could exhaust memory
// or the stack.
struct ShapeLimits {
    size_t maxDepth = 512;       // nesting of arrays and dictionaries
    size_t maxNodes = 1u << 21;  // values after shared references are expanded
};

// Parses XML or binary plist bytes after checking their shape. Sets *error on failure.
PlistPtr parseNode(std::span<const uint8_t> bytes, const ShapeLimits& limits, std::string* error);

// Serialises a node; nothing when libplist produces no output.
std::optional<Data> writeNode(plist_t node, PlistFormat format);

// Converts between nodes and values. A UID node reads as {"CF$UID": n}, the form XML plists use.
std::optional<Value> nodeToValue(plist_t node, size_t maxDepth, std::string* error);
PlistPtr valueToNode(const Value& value, size_t maxDepth);

// Reads a string or key node (bytes up to the first NUL, as libplist stores them).
std::string nodeString(plist_t node);

// Strings go to libplist as NUL-terminated UTF-8; anything else would be truncated or misread.
bool isCodableString(std::string_view s);

// Seconds between 1970-01-01 and 2001-01-01, the epoch of plist dates and NS.time.
inline constexpr double kReferenceDateOffset = 978307200.0;

}  // namespace archive::detail
