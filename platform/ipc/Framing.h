// The one framing of our local sockets: a 4-byte big-endian length, then that many bytes.
// Every read and write has a deadline and every frame a size cap.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace ipc {

using Deadline = std::chrono::steady_clock::time_point;

enum class FrameStatus { Ok, Closed, TimedOut, TooLarge, Error };

// Writes one frame to a stream socket before the deadline.
FrameStatus writeFrame(int fd, std::span<const uint8_t> payload, Deadline deadline);

// Reads one frame of at most maxBytes before the deadline. Closed: the peer closed cleanly
// before the first byte of a frame.
FrameStatus readFrame(int fd, std::vector<uint8_t>& payload, size_t maxBytes, Deadline deadline);

// Collects frames from a socket as their bytes arrive, for a reader that serves many sockets from
// one thread and must not wait on any of them.
class FrameAssembler {
  public:
    explicit FrameAssembler(size_t maxBytes) : maxBytes_(maxBytes) {}

    // Reads what the socket holds now, without waiting, and appends each completed frame to
    // `frames`. Ok: go on; Closed: the peer closed between frames; Error: it closed inside one.
    FrameStatus receive(int fd, std::vector<std::vector<uint8_t>>& frames);

    // True while part of a frame has arrived.
    bool hasPartialFrame() const { return !buffer_.empty(); }

  private:
    size_t maxBytes_;
    std::vector<uint8_t> buffer_;
};

inline Deadline deadlineAfter(double seconds) {
    return std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                  std::chrono::duration<double>(seconds));
}

}  // namespace ipc
