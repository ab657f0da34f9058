// The cipher object: SM4 in CTR, CBC (PKCS#7) and ECB (PKCS#7) mode with UTF-8 text in and Base64
// text out, and the AES-CBC helpers of the client-login API (default key, fixed IV).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace common {

// Default AES key when the caller passes none, and the AES-CBC IV, always.
inline constexpr std::string_view kDefaultAESKey = "Qm8#tR2vLx6@Nw4k";
inline constexpr std::string_view kAESCBCIv = "Hp3$Zc7&Wd1^Kf9y";
// Key string of the stored login ticket (used with the AES-ECB string pair).
inline constexpr std::string_view kLoginTicketKey = "tavlorine";

class WqAlgorithmSM4 {
  public:
    enum : unsigned long { kTypeCTR = 0, kTypeCBC = 1, kTypeECB = 2 };

    // Key and IV are used as their UTF-8 bytes; each must be 16 characters long.
    std::string key;
    std::string iv;
    unsigned long type = kTypeCTR;

    static WqAlgorithmSM4 ctrSM4WithKey(std::string key, std::string iv);
    static WqAlgorithmSM4 cbcSM4WithKey(std::string key, std::string iv);
    static WqAlgorithmSM4 ecbSM4WithKey(std::string key);

    WqAlgorithmSM4& initWithKeyCTR(std::string key, std::string iv);
    WqAlgorithmSM4& initWithKey(std::string key, std::string iv);
    WqAlgorithmSM4& initWithKey(std::string key);

    // Every operation below answers nothing on any failure: a key or IV that is not 16 characters, an
    // empty or non-UTF-8 text, bad Base64, a cipher length that is not a positive multiple of 16 (ECB,
    // CBC), bad padding, or a result that is not valid UTF-8.

    // Dispatch on `type`: 2 ECB, 1 CBC, 0 CTR; any other type gives nothing.
    std::optional<std::string> encryption(std::string_view text) const;
    std::optional<std::string> decryption(std::string_view text) const;

    std::optional<std::string> encryptionTextWithSM4CTRMode(std::string_view text) const;
    std::optional<std::string> decryptionTextWithSM4CTRMode(std::string_view text) const;
    std::optional<std::string> encryptionTextWithSM4CBCMode(std::string_view text) const;
    std::optional<std::string> decryptionTextWithSM4CBCMode(std::string_view text) const;
    std::optional<std::string> encryptionTextWithSM4ECBMode(std::string_view text) const;
    std::optional<std::string> decryptionTextWithSM4ECBMode(std::string_view text) const;

    // SM4-CTR: as many cipher bytes as text bytes, no padding.
    static std::optional<std::string> encryptionWithSM4CTRKey(std::string_view key, std::string_view iv,
                                                              std::string_view text);
    static std::optional<std::string> decryptionWithSM4CTRKey(std::string_view key, std::string_view iv,
                                                              std::string_view text);
    // SM4-CBC with PKCS#7 padding.
    static std::optional<std::string> encryptionWithSM4Key(std::string_view key, std::string_view iv,
                                                           std::string_view text);
    static std::optional<std::string> decryptionWithSM4Key(std::string_view key, std::string_view iv,
                                                           std::string_view text);
    // SM4-ECB with PKCS#7 padding.
    static std::optional<std::string> encryptionWithSM4Key(std::string_view key, std::string_view text);
    static std::optional<std::string> decryptionWithSM4Key(std::string_view key, std::string_view text);

    // AES-CBC with PKCS#7 padding from the fixed IV, as Base64 text in 64-character CR LF lines. The key
    // (default kDefaultAESKey) of 16, 24 or 32 characters selects AES-128, -192 or -256; any other
    // length gives nothing.
    static std::optional<std::string> EncodeAES_CBC_PKCS5Padding(std::span<const uint8_t> data,
                                                                 std::optional<std::string_view> key = {});
    // AES-128-CBC decryption of already Base64-decoded bytes under the first 16 bytes of the key
    // (default kDefaultAESKey) from the fixed IV; a trailing partial block is ignored and input
    // shorter than one block gives empty data. Nothing for a key under 16 bytes or bad padding.
    static std::optional<std::vector<uint8_t>> DecodeAES(std::span<const uint8_t> data,
                                                         std::optional<std::string_view> key = {});
};

}  // namespace common
