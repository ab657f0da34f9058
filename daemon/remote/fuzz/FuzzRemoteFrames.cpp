// Feeds arbitrary bytes to the channel's message framing, whole and cut at points taken from
// the input: both ways must give the same messages, every message must be whole (its header
// end present and its length what the header names), and nothing may exceed the caps.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/remote/RemoteMessageAssembler.h"

using hollin::RemoteMessageAssembler;

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(
        reinterpret_cast<const char*>(data ? data : reinterpret_cast<const uint8_t*>("")), size);
    RemoteMessageAssembler whole;
    std::vector<std::string> wholeOut;
    const bool wholeOk = whole.append(bytes, wholeOut);

    RemoteMessageAssembler split;
    std::vector<std::string> splitOut;
    bool splitOk = true;
    size_t pos = 0;
    size_t step = size > 0 ? (data[0] % 7) + 1 : 1;
    while (pos < size && splitOk) {
        const size_t n = std::min(step, size - pos);
        splitOk = split.append(bytes.substr(pos, n), splitOut);
        pos += n;
        step = step * 3 % 11 + 1;
    }
    require(wholeOk == splitOk);
    if (wholeOk) {
        require(wholeOut == splitOut);
        require(whole.pending() == split.pending());
    }
    for (const auto& message : wholeOut) {
        const size_t end = message.find("\r\n\r\n");
        require(end != std::string::npos && end <= RemoteMessageAssembler::kMaxHeaderLength);
        const auto body = RemoteMessageAssembler::contentLength(std::string_view(message).substr(0, end));
        require(body && end + 4 + *body == message.size());
    }
    require(whole.pending() <=
            RemoteMessageAssembler::kMaxHeaderLength + 4 + RemoteMessageAssembler::kMaxBodyLength);
    return 0;
}
