#include "Sm4.h"

#include <array>
#include <bit>
#include <cstring>

namespace common {

namespace {

constexpr uint8_t kSbox[256] = {
    0xd6, 0x90, 0xe9, 0xfe, 0xcc, 0xe1, 0x3d, 0xb7, 0x16, 0xb6, 0x14, 0xc2, 0x28, 0xfb, 0x2c, 0x05,
    0x2b, 0x67, 0x9a, 0x76, 0x2a, 0xbe, 0x04, 0xc3, 0xaa, 0x44, 0x13, 0x26, 0x49, 0x86, 0x06, 0x99,
    0x9c, 0x42, 0x50, 0xf4, 0x91, 0xef, 0x98, 0x7a, 0x33, 0x54, 0x0b, 0x43, 0xed, 0xcf, 0xac, 0x62,
    0xe4, 0xb3, 0x1c, 0xa9, 0xc9, 0x08, 0xe8, 0x95, 0x80, 0xdf, 0x94, 0xfa, 0x75, 0x8f, 0x3f, 0xa6,
    0x47, 0x07, 0xa7, 0xfc, 0xf3, 0x73, 0x17, 0xba, 0x83, 0x59, 0x3c, 0x19, 0xe6, 0x85, 0x4f, 0xa8,
    0x68, 0x6b, 0x81, 0xb2, 0x71, 0x64, 0xda, 0x8b, 0xf8, 0xeb, 0x0f, 0x4b, 0x70, 0x56, 0x9d, 0x35,
    0x1e, 0x24, 0x0e, 0x5e, 0x63, 0x58, 0xd1, 0xa2, 0x25, 0x22, 0x7c, 0x3b, 0x01, 0x21, 0x78, 0x87,
    0xd4, 0x00, 0x46, 0x57, 0x9f, 0xd3, 0x27, 0x52, 0x4c, 0x36, 0x02, 0xe7, 0xa0, 0xc4, 0xc8, 0x9e,
    0xea, 0xbf, 0x8a, 0xd2, 0x40, 0xc7, 0x38, 0xb5, 0xa3, 0xf7, 0xf2, 0xce, 0xf9, 0x61, 0x15, 0xa1,
    0xe0, 0xae, 0x5d, 0xa4, 0x9b, 0x34, 0x1a, 0x55, 0xad, 0x93, 0x32, 0x30, 0xf5, 0x8c, 0xb1, 0xe3,
    0x1d, 0xf6, 0xe2, 0x2e, 0x82, 0x66, 0xca, 0x60, 0xc0, 0x29, 0x23, 0xab, 0x0d, 0x53, 0x4e, 0x6f,
    0xd5, 0xdb, 0x37, 0x45, 0xde, 0xfd, 0x8e, 0x2f, 0x03, 0xff, 0x6a, 0x72, 0x6d, 0x6c, 0x5b, 0x51,
    0x8d, 0x1b, 0xaf, 0x92, 0xbb, 0xdd, 0xbc, 0x7f, 0x11, 0xd9, 0x5c, 0x41, 0x1f, 0x10, 0x5a, 0xd8,
    0x0a, 0xc1, 0x31, 0x88, 0xa5, 0xcd, 0x7b, 0xbd, 0x2d, 0x74, 0xd0, 0x12, 0xb8, 0xe5, 0xb4, 0xb0,
    0x89, 0x69, 0x97, 0x4a, 0x0c, 0x96, 0x77, 0x7e, 0x65, 0xb9, 0xf1, 0x09, 0xc5, 0x6e, 0xc6, 0x84,
    0x18, 0xf0, 0x7d, 0xec, 0x3a, 0xdc, 0x4d, 0x20, 0x79, 0xee, 0x5f, 0x3e, 0xd7, 0xcb, 0x39, 0x48,
};

constexpr uint32_t kFK[4] = {0xa3b1bac6, 0x56aa3350, 0x677d9197, 0xb27022dc};

// CK[i] byte j is (4i + j) * 7 mod 256.
constexpr std::array<uint32_t, 32> makeCK() {
    std::array<uint32_t, 32> ck{};
    for (uint32_t i = 0; i < 32; ++i) {
        uint32_t w = 0;
        for (uint32_t j = 0; j < 4; ++j) w = w << 8 | (((4 * i + j) * 7) & 0xff);
        ck[i] = w;
    }
    return ck;
}
constexpr auto kCK = makeCK();

// The round's T = L(tau(x)) for a byte in each of the four positions, so one round is four look-ups.
// L is linear and commutes with rotation, so each table is the first rotated right by 8 bits.
constexpr std::array<std::array<uint32_t, 256>, 4> makeTables() {
    std::array<std::array<uint32_t, 256>, 4> t{};
    for (uint32_t b = 0; b < 256; ++b) {
        const uint32_t s = uint32_t{kSbox[b]} << 24;
        const uint32_t l = s ^ std::rotl(s, 2) ^ std::rotl(s, 10) ^ std::rotl(s, 18) ^ std::rotl(s, 24);
        for (int pos = 0; pos < 4; ++pos) t[pos][b] = std::rotr(l, 8 * pos);
    }
    return t;
}
constexpr auto kT = makeTables();

inline uint32_t tau(uint32_t x) {
    return uint32_t{kSbox[x >> 24]} << 24 | uint32_t{kSbox[(x >> 16) & 0xff]} << 16 |
           uint32_t{kSbox[(x >> 8) & 0xff]} << 8 | kSbox[x & 0xff];
}

inline uint32_t roundT(uint32_t x) {
    return kT[0][x >> 24] ^ kT[1][(x >> 16) & 0xff] ^ kT[2][(x >> 8) & 0xff] ^ kT[3][x & 0xff];
}

inline uint32_t loadBE(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

inline void storeBE(uint32_t v, uint8_t* p) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void expandKey(std::span<const uint8_t, 16> key, uint32_t rk[32]) {
    uint32_t k[4];
    for (int i = 0; i < 4; ++i) k[i] = loadBE(key.data() + 4 * i) ^ kFK[i];
    for (int i = 0; i < 32; ++i) {
        const uint32_t b = tau(k[1] ^ k[2] ^ k[3] ^ kCK[i]);
        const uint32_t next = k[0] ^ b ^ std::rotl(b, 13) ^ std::rotl(b, 23);
        rk[i] = next;
        k[0] = k[1], k[1] = k[2], k[2] = k[3], k[3] = next;
    }
}

bool lengthsFit(std::span<const uint8_t> input, std::span<uint8_t> output) {
    return input.size() % SM4_BLOCK_SIZE == 0 && output.size() >= input.size();
}

}  // namespace

void sm4_setkey_enc(sm4_context& ctx, std::span<const uint8_t, 16> key) {
    ctx.mode = SM4_ENCRYPT;
    expandKey(key, ctx.sk);
}

void sm4_setkey_dec(sm4_context& ctx, std::span<const uint8_t, 16> key) {
    ctx.mode = SM4_DECRYPT;
    expandKey(key, ctx.sk);
    for (int i = 0; i < 16; ++i) std::swap(ctx.sk[i], ctx.sk[31 - i]);
}

void sm4_one_round(std::span<const uint32_t, 32> sk, std::span<const uint8_t, 16> input,
                   std::span<uint8_t, 16> output) {
    uint32_t x0 = loadBE(input.data()), x1 = loadBE(input.data() + 4), x2 = loadBE(input.data() + 8),
             x3 = loadBE(input.data() + 12);
    for (int i = 0; i < 32; i += 4) {
        x0 ^= roundT(x1 ^ x2 ^ x3 ^ sk[i]);
        x1 ^= roundT(x2 ^ x3 ^ x0 ^ sk[i + 1]);
        x2 ^= roundT(x3 ^ x0 ^ x1 ^ sk[i + 2]);
        x3 ^= roundT(x0 ^ x1 ^ x2 ^ sk[i + 3]);
    }
    // The output is the last four words in reverse order.
    storeBE(x3, output.data());
    storeBE(x2, output.data() + 4);
    storeBE(x1, output.data() + 8);
    storeBE(x0, output.data() + 12);
}

bool sm4_crypt_ecb(const sm4_context& ctx, int /*mode*/, std::span<const uint8_t> input,
                   std::span<uint8_t> output) {
    if (!lengthsFit(input, output)) return false;
    for (size_t off = 0; off < input.size(); off += SM4_BLOCK_SIZE) {
        sm4_one_round(ctx.sk, input.subspan(off).first<16>(), output.subspan(off).first<16>());
    }
    return true;
}

bool sm4_crypt_cbc(const sm4_context& ctx, int mode, std::span<uint8_t, 16> iv,
                   std::span<const uint8_t> input, std::span<uint8_t> output) {
    if (!lengthsFit(input, output)) return false;
    if (mode != SM4_ENCRYPT && mode != SM4_DECRYPT) return false;
    uint8_t block[16];
    for (size_t off = 0; off < input.size(); off += SM4_BLOCK_SIZE) {
        const uint8_t* in = input.data() + off;
        uint8_t* out = output.data() + off;
        if (mode == SM4_ENCRYPT) {
            for (size_t i = 0; i < 16; ++i) block[i] = in[i] ^ iv[i];
            sm4_one_round(ctx.sk, block, std::span<uint8_t, 16>(out, 16));
            std::memcpy(iv.data(), out, 16);
        } else {
            // Keep the cipher block before the output may overwrite it (in-place decryption).
            uint8_t cipherBlock[16];
            std::memcpy(cipherBlock, in, 16);
            sm4_one_round(ctx.sk, std::span<const uint8_t, 16>(cipherBlock, 16), block);
            for (size_t i = 0; i < 16; ++i) out[i] = block[i] ^ iv[i];
            std::memcpy(iv.data(), cipherBlock, 16);
        }
    }
    return true;
}

}  // namespace common
