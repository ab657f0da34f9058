// The daemon's string helpers: the AES-ECB text pair (shared with the utility library), the
// address-range test and the password-format rule.
#pragma once

#include <optional>
#include <string_view>

#include "framework/cipher/AesString.h"

namespace Extension {

using UrlEncode::aes256_decrypt;
using UrlEncode::aes256_encrypt;

// `range` is "a.b.c.d-e.f.g.h"; true when `address` lies between the two ends, inclusive. Each dotted
// part counts by its leading integer value (a part that is no number counts 0) without a 0..255 check.
// False unless the range has exactly two ends and all three addresses have four parts.
bool ifINIPSegment(std::string_view range, std::string_view address);

// The password rule: 8 to 32 characters with a letter, a digit and one character of the listed ASCII
// and full-width punctuation. The pattern is matched case-insensitively, so either letter case counts
// for both letter conditions. False for a missing text or text that is not valid UTF-8.
bool confirmPassFormat(std::optional<std::string_view> text);

}  // namespace Extension
