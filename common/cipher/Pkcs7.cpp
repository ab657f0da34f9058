#include "Pkcs7.h"

#include <algorithm>

namespace common {

namespace {
constexpr size_t kBlock = 16;
}

size_t paddingForEncryption(std::vector<uint8_t>& buffer) {
    const size_t pad = kBlock - buffer.size() % kBlock;
    buffer.insert(buffer.end(), pad, static_cast<uint8_t>(pad));
    return buffer.size();
}

std::optional<size_t> unpaddingForDecryption(std::vector<uint8_t>& buffer) {
    if (buffer.empty()) return std::nullopt;
    const size_t pad = buffer.back();
    if (pad == 0 || pad > kBlock || pad > buffer.size()) return std::nullopt;
    const auto tail = buffer.end() - static_cast<std::ptrdiff_t>(pad);
    if (!std::all_of(tail, buffer.end(), [pad](uint8_t b) { return b == pad; })) return std::nullopt;
    buffer.erase(tail, buffer.end());
    return buffer.size();
}

}  // namespace common
