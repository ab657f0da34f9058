// Keyed archives compatible with NSKeyedArchiver: a binary plist with "$archiver",
// "$version", "$top" {"root": UID} and "$objects", classes described by "$class" UIDs.
// Foundation types map to Value: NSArray/NSMutableArray, NSDictionary/NSMutableDictionary,
// NSString/NSMutableString, NSNumber, NSData/NSMutableData, NSDate, NSNull. Every other class
// is an Object and must be on the caller's allow-list to decode.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <set>
#include <span>
#include <string>

#include "Plist.h"
#include "Value.h"

namespace archive {

struct DecodeLimits {
    size_t maxBytes = 16u << 20;   // size of the archive
    size_t maxObjects = 1u << 20;  // entries of "$objects"
    size_t maxDepth = 128;         // nesting of containers and objects
    // Approximate memory of the decoded value. An object referenced from many places is
    // copied into each (shared Objects excepted), so a small archive could otherwise expand
    // without bound.
    size_t maxDecodedBytes = 64u << 20;
};

// Classes beyond the Foundation types that a decode accepts (for example {"AccountModel"}).
using ClassAllowList = std::set<std::string>;

struct DecodeResult {
    std::optional<Value> value;
    std::string error;  // set when value is empty
    explicit operator bool() const { return value.has_value(); }
};

// Encodes a root object. An Object (or a shared_ptr to one) referenced in several places is
// written once; equal strings share one entry. Fails only for values that cannot be coded:
// strings that are not UTF-8 or hold a NUL, a record without a class name or named like a
// Foundation class, a record inside itself, nesting deeper than DecodeLimits{}.maxDepth.
std::optional<Data> archivedData(const Value& root, PlistFormat format = PlistFormat::Binary);

// Decodes an archive. Truncated, cyclic, wrongly typed, oversized input and classes outside the
// allow-list give an error, never a crash.
DecodeResult unarchive(std::span<const uint8_t> bytes, const ClassAllowList& allowed = {},
                       const DecodeLimits& limits = {});

// File forms. Writing is atomic (temporary file, fsync, rename) and the file takes mode, also
// when it replaces one with a wider mode. Reading does not follow a symlink at path, requires a
// regular file and reads at most limits.maxBytes.
bool archiveRootObjectToFile(const Value& root, const std::string& path, mode_t mode = 0644);
DecodeResult unarchiveObjectWithFile(const std::string& path, const ClassAllowList& allowed = {},
                                     const DecodeLimits& limits = {});
// As unarchiveObjectWithFile, for files a user can write: the file must also belong to owner.
DecodeResult unarchiveUserFile(const std::string& path, uid_t owner, const ClassAllowList& allowed = {},
                               const DecodeLimits& limits = {});

}  // namespace archive
