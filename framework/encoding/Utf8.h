// UTF-8 well-formedness check shared by the encoders that turn bytes back into text.
#pragma once

#include <string_view>

namespace utf8 {

// True when text is well-formed UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
bool isValid(std::string_view text);

}  // namespace utf8
