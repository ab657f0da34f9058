// PKCS#7 padding to the 16-byte block of the ciphers here, and its checked removal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace common {

// Appends p = 16 - (n mod 16) bytes of value p (a whole block of 0x10 when n is already a multiple of
// 16, including n = 0). Returns the new length.
size_t paddingForEncryption(std::vector<uint8_t>& buffer);

// Removes the padding and returns the remaining length. Nothing, with the buffer left as it was, when
// the last byte is 0 or above 16, exceeds the length, or the bytes it covers do not all equal it.
std::optional<size_t> unpaddingForDecryption(std::vector<uint8_t>& buffer);

}  // namespace common
