// The SM4 block cipher (GB/T 32907: 128-bit key and block, 32 rounds) with its ECB and CBC block
// functions. Lengths must be whole multiples of 16; anything else is refused without touching memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace common {

inline constexpr int SM4_ENCRYPT = 1;
inline constexpr int SM4_DECRYPT = 0;
inline constexpr size_t SM4_BLOCK_SIZE = 16;

struct sm4_context {
    int mode = SM4_ENCRYPT;  // recorded by the key set-up, not read by the block functions
    uint32_t sk[32] = {};    // round keys, in the order the block transform applies them
};

// Round keys for encryption / for decryption (the same keys in reverse order).
void sm4_setkey_enc(sm4_context& ctx, std::span<const uint8_t, 16> key);
void sm4_setkey_dec(sm4_context& ctx, std::span<const uint8_t, 16> key);

// The whole 32-round transform of one block; `input` and `output` may be the same block.
void sm4_one_round(std::span<const uint32_t, 32> sk, std::span<const uint8_t, 16> input,
                   std::span<uint8_t, 16> output);

// Transforms `input` block by block into `output` (which may alias `input`). The direction comes from
// the round keys; `mode` is accepted for symmetry with the CBC function. False, with nothing written,
// when the length is not a multiple of 16 or `output` is shorter than `input`.
bool sm4_crypt_ecb(const sm4_context& ctx, int mode, std::span<const uint8_t> input,
                   std::span<uint8_t> output);

// CBC chaining from `iv`, which is updated in place to the last cipher block. `mode` is SM4_ENCRYPT or
// SM4_DECRYPT and must match the round keys. Same length rules as the ECB function; in-place works.
bool sm4_crypt_cbc(const sm4_context& ctx, int mode, std::span<uint8_t, 16> iv,
                   std::span<const uint8_t> input, std::span<uint8_t> output);

}  // namespace common
