// Feeds arbitrary message bodies to the IPC value decoding (binary plist or keyed archive, one
// allowed record class). A decoded value is encoded and decoded again: what a peer sent must
// reach the receiver unchanged.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/ipc/ValueCoding.h"

namespace {

// Equality after a round trip: NaN stands for itself, and a date may move by the microsecond
// that property-list dates are written with.
bool sameValue(const archive::Value& a, const archive::Value& b) {
    if (a.isReal() && b.isReal()) {
        const double x = *a.real(), y = *b.real();
        return x == y || (std::isnan(x) && std::isnan(y));
    }
    if (a.isDate() && b.isDate()) {
        return std::fabs(a.date()->secondsSince1970 - b.date()->secondsSince1970) <= 1e-6;
    }
    if (a.isArray() && b.isArray()) {
        const archive::Array &x = *a.array(), &y = *b.array();
        if (x.size() != y.size()) return false;
        for (size_t i = 0; i < x.size(); ++i) {
            if (!sameValue(x[i], y[i])) return false;
        }
        return true;
    }
    if (a.isDictionary() && b.isDictionary()) {
        const archive::Dictionary &x = *a.dictionary(), &y = *b.dictionary();
        if (x.size() != y.size()) return false;
        for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
            if (i->first != j->first || !sameValue(i->second, j->second)) return false;
        }
        return true;
    }
    return a == b;
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
    if (!sameValue(*value, *again)) __builtin_trap();
    return 0;
}
