// Property lists in XML and binary form, over libplist.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "Value.h"

namespace archive {

enum class PlistFormat { Xml, Binary };

// Parses XML or binary plist bytes (the form is detected). Null and Object values cannot occur;
// a UID reads as {"CF$UID": n}. Nesting beyond 512 levels, more than 2^21 values (shared
// references counted at each use) and cycles are refused. On failure returns nothing and,
// when given, sets *error to a short reason.
std::optional<Value> parsePlist(std::span<const uint8_t> bytes, std::string* error = nullptr);

// Serialises a value; fails (nothing) for values a plist cannot hold (Null, Object, strings
// that are not UTF-8 or hold a NUL, dates beyond libplist's 32-bit seconds).
std::optional<Data> serializePlist(const Value& value, PlistFormat format);

// File forms: read takes a regular file of at most maxBytes and does not follow a symlink at
// path; write is atomic (temporary file, fsync, rename).
std::optional<Value> readPlistFile(const std::string& path, std::string* error = nullptr,
                                   size_t maxBytes = 16u << 20);
bool writePlistFile(const Value& value, const std::string& path, PlistFormat format = PlistFormat::Xml);

}  // namespace archive
