// Feeds arbitrary bytes to the keyed-archive decoder (small limits, one allowed record class)
// and to the plist parser; a decoded value is encoded again to exercise the writers.
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/archive/KeyedArchive.h"
#include "platform/archive/Plist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    static const archive::ClassAllowList allowed{"ZemRecord"};
    archive::DecodeLimits limits;
    limits.maxBytes = 64u << 10;
    limits.maxObjects = 4096;
    limits.maxDepth = 32;
    limits.maxDecodedBytes = 256u << 10;  // keeps the re-encoding of expanded values quick
    auto decoded = archive::unarchive(bytes, allowed, limits);
    if (decoded) {
        auto again = archive::archivedData(*decoded.value);
        if (again) (void)archive::unarchive(*again, allowed, limits);
    }
    if (auto value = archive::parsePlist(bytes)) {
        (void)archive::serializePlist(*value, archive::PlistFormat::Binary);
        (void)archive::serializePlist(*value, archive::PlistFormat::Xml);
    }
    return 0;
}
