// Cuts the byte stream of the remote session channel into whole messages: a header ending in
// "\r\n\r\n", then as many body bytes as its "Content-Length:" line names (none without one).
// Whatever follows a whole message is kept for the next one, so a chunk may hold any number
// of messages and end anywhere. Header and body sizes are capped; a stream that breaks the
// framing cannot be resynchronised, so the caller drops the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hollin {

class RemoteMessageAssembler {
  public:
    static constexpr size_t kMaxHeaderLength = 16 * 1024;
    static constexpr size_t kMaxBodyLength = 1024 * 1024;

    // Appends a chunk and moves every message it completes into out, in order. False when the
    // stream is broken (header too long, body length missing its digits or over the cap, two
    // different lengths); the buffer is then emptied and stays unusable until reset().
    bool append(std::string_view chunk, std::vector<std::string>& out);
    void reset();

    // Bytes held of a message not yet whole.
    size_t pending() const { return buffer_.size() - consumed_; }
    bool broken() const { return broken_; }

    // The body length a header names: nothing for a malformed or oversized value, 0 with no line.
    static std::optional<size_t> contentLength(std::string_view header);

  private:
    void compact();

    std::string buffer_;
    size_t consumed_ = 0;                // bytes of buffer_ already handed out
    std::optional<size_t> totalLength_;  // header plus body of the message at consumed_
    bool broken_ = false;
};

}  // namespace hollin
