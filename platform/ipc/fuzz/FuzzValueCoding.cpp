// Feeds arbitrary message bodies to the IPC value decoding (binary plist or keyed archive, one
// allowed record class). A decoded value is encoded and decoded again: what a peer sent must
// reach the receiver unchanged.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "ipc/ValueCoding.h"

namespace {

// NaN is unequal to itself, so values holding it are not compared after the round trip.
bool hasNaN(const archive::Value& v) {
    if (v.isReal()) return std::isnan(*v.real());
    if (const archive::Array* a = v.array()) {
        for (const auto& e : *a) {
            if (hasNaN(e)) return true;
        }
    }
    if (const archive::Dictionary* d = v.dictionary()) {
        for (const auto& [k, e] : *d) {
            if (hasNaN(e)) return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    static const archive::ClassAllowList allowed{"ZemRecord"};
    std::string error;
    std::optional<archive::Value> value = ipc::decodeValue(std::span<const uint8_t>(data, size), allowed, &error);
    if (!value) {
        if (error.empty()) __builtin_trap();  // a refusal always says why
        return 0;
    }
    std::optional<std::vector<uint8_t>> encoded = ipc::encodeValue(*value);
    if (!encoded) return 0;
    std::optional<archive::Value> again = ipc::decodeValue(*encoded, allowed);
    if (!again) __builtin_trap();
    if (!hasNaN(*value) && !(*again == *value)) __builtin_trap();
    return 0;
}
