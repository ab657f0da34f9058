// URL codec of the server messages: a serialized root message travels as percent-encoded text in
// which only ASCII letters and digits stay as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zem {

class ZemUrlEncode {
  public:
    // The POST body text of a serialized message.
    static std::string urlencodWithData(std::span<const uint8_t> data);
    static std::string urlencodWithData(std::string_view data);

    // Exactly the decoded bytes; *len (when given) receives their count.
    static std::vector<uint8_t> urldecode(std::string_view text, size_t* len);
    // The same decoding within the buffer itself (the decoded bytes are never longer than the
    // text), so a large reply is not held twice.
    static void urldecodeInPlace(std::vector<uint8_t>& bytes);
};

}  // namespace zem
