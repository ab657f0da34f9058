// Feeds arbitrary bytes to the keyed-archive decoder under the limits and allowed classes of each
// caller that reads archives a user or a peer can write, and to the plist parser; a decoded value
// is encoded again to exercise the writers. What decodes within one caller's limits also decodes
// within any caller's that are no tighter and allow the same classes.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/archive/KeyedArchive.h"
#include "platform/archive/Plist.h"

namespace {

struct Caller {
    archive::ClassAllowList allowed;
    archive::DecodeLimits limits;
    bool decodedFromSize = false;  // maxDecodedBytes is twice the archive's size and 64 KiB
};

archive::DecodeLimits limitsOf(size_t bytes, size_t objects, size_t depth,
                               size_t decoded = archive::DecodeLimits{}.maxDecodedBytes) {
    archive::DecodeLimits l;
    l.maxBytes = bytes;
    l.maxObjects = objects;
    l.maxDepth = depth;
    l.maxDecodedBytes = decoded;
    return l;
}

const std::vector<Caller>& callers() {
    static const std::vector<Caller> all = {
        // The user bridge's requests and machine archives.
        {{}, limitsOf(4u << 20, 200'000, 32, 32u << 20)},
        // Server configuration and multi-server archives.
        {{}, limitsOf(1u << 20, 4096, 8)},
        // The rotating logger's state.
        {{}, limitsOf(64u << 10, 64, 4)},
        // A user's account record.
        {{"AccountModel"}, limitsOf(1u << 20, 4096, 16), true},
        // The command store.
        {{"ZemCMDModel"}, limitsOf(256u << 10, 4096, 8)},
        // The daemon's configuration store.
        {{"ZemConfigModel"}, limitsOf(1u << 20, 1u << 14, 8)},
        // The upload schedule (512 entries).
        {{"UploadScheduleModel"}, limitsOf(4u << 20, 64u * 512, 128)},
        // The upgrade app's kept package record.
        {{"AppModuleModel"}, limitsOf(1u << 20, 256, 128)},
    };
    return all;
}

bool noTighter(const archive::DecodeLimits& a, const archive::DecodeLimits& b) {
    return b.maxBytes >= a.maxBytes && b.maxObjects >= a.maxObjects && b.maxDepth >= a.maxDepth &&
           b.maxDecodedBytes >= a.maxDecodedBytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The largest archive any caller reads.
    if (size > (4u << 20)) return 0;
    std::span<const uint8_t> bytes(data, size);
    const auto& all = callers();
    std::vector<bool> decodedBy(all.size());
    bool encoded = false;
    for (size_t i = 0; i < all.size(); ++i) {
        archive::DecodeLimits limits = all[i].limits;
        if (all[i].decodedFromSize) limits.maxDecodedBytes = 2 * size + 64 * 1024;
        // The corpus's records are of class "ZemRecord": allowed too, so they reach class decoding
        // under every caller's limits.
        archive::ClassAllowList allowed = all[i].allowed;
        allowed.insert("ZemRecord");
        auto decoded = archive::unarchive(bytes, allowed, limits);
        decodedBy[i] = bool(decoded);
        if (decoded && !encoded) {
            encoded = true;
            auto again = archive::archivedData(*decoded.value);
            if (again) (void)archive::unarchive(*again, allowed, limits);
        }
    }
    for (size_t i = 0; i < all.size(); ++i) {
        for (size_t j = 0; j < all.size(); ++j) {
            if (i == j || !decodedBy[i] || all[i].allowed != all[j].allowed || all[i].decodedFromSize ||
                all[j].decodedFromSize)
                continue;
            if (noTighter(all[i].limits, all[j].limits) && !decodedBy[j]) __builtin_trap();
        }
    }
    if (auto value = archive::parsePlist(bytes)) {
        (void)archive::serializePlist(*value, archive::PlistFormat::Binary);
        (void)archive::serializePlist(*value, archive::PlistFormat::Xml);
    }
    return 0;
}
