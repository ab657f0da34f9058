// The one framing of our local sockets: a 4-byte big-endian length, then that many bytes.
// Every read and write has a deadline and every frame a size cap. A frame's buffer grows as its
// bytes arrive, never to the length a peer merely announces.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace ipc {

using Deadline = std::chrono::steady_clock::time_point;

// TooLarge: the frame is over the cap, or over what the service lets its peer hold.
enum class FrameStatus { Ok, Closed, TimedOut, TooLarge, Error };

// Writes one frame to a stream socket before the deadline. A deadline already past still gets
// one try: the frame goes when the socket takes it at once.
FrameStatus writeFrame(int fd, std::span<const uint8_t> payload, Deadline deadline);

// Writes one frame made of the given parts in order, without joining them first.
FrameStatus writeFrameParts(int fd, std::span<const std::span<const uint8_t>> parts, Deadline deadline);

class FrameBudget;

// Reads one frame of at most maxBytes before the deadline. Closed: the peer closed cleanly
// before the first byte of a frame. A deadline already past still takes a frame already there.
// With a budget, the frame's bytes are charged to uid while they arrive (TooLarge when they do
// not fit) and given back once the frame is complete.
FrameStatus readFrame(int fd, std::vector<uint8_t>& payload, size_t maxBytes, Deadline deadline,
                      FrameBudget* budget = nullptr, uid_t uid = 0);

// The bytes of frames being assembled that one service may hold: each peer user up to perPeer,
// and all users other than root together up to others, so that no user can crowd root out.
class FrameBudget {
  public:
    FrameBudget(size_t perPeer, size_t others) : perPeer_(perPeer), others_(others) {}
    // False (nothing taken) when the bytes would exceed a bound.
    bool take(uid_t uid, size_t bytes);
    void give(uid_t uid, size_t bytes);
    // Bytes held now by all peers.
    size_t held() const;

  private:
    size_t perPeer_;
    size_t others_;
    mutable std::mutex mutex_;
    std::map<uid_t, size_t> byUid_;
    size_t othersHeld_ = 0;
    size_t rootHeld_ = 0;
};

// Collects frames from a socket as their bytes arrive, for a reader that serves many sockets from
// one thread and must not wait on any of them.
class FrameAssembler {
  public:
    // With a budget, the bytes of the frame being assembled are charged to uid there.
    explicit FrameAssembler(size_t maxBytes, std::shared_ptr<FrameBudget> budget = nullptr, uid_t uid = 0)
        : maxBytes_(maxBytes), budget_(std::move(budget)), uid_(uid) {}
    ~FrameAssembler();
    FrameAssembler(FrameAssembler&& o) noexcept;
    FrameAssembler& operator=(FrameAssembler&& o) noexcept;
    FrameAssembler(const FrameAssembler&) = delete;
    FrameAssembler& operator=(const FrameAssembler&) = delete;

    // Reads what the socket holds now, without waiting, and appends each completed frame to
    // `frames`. Ok: go on; Closed: the peer closed between frames; Error: it closed inside one;
    // TooLarge: a frame over the cap or the budget.
    FrameStatus receive(int fd, std::vector<std::vector<uint8_t>>& frames);

    // True while part of a frame has arrived.
    bool hasPartialFrame() const { return headGot_ > 0; }
    // Bytes held for the frame being assembled.
    size_t heldBytes() const { return charged_; }

  private:
    bool charge(size_t bytes);
    void reset();

    size_t maxBytes_;
    std::shared_ptr<FrameBudget> budget_;
    uid_t uid_;
    uint8_t head_[4] = {};
    size_t headGot_ = 0;
    size_t expected_ = 0;
    std::vector<uint8_t> payload_;
    size_t got_ = 0;
    size_t charged_ = 0;
};

inline Deadline deadlineAfter(double seconds) {
    return std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                  std::chrono::duration<double>(seconds));
}

}  // namespace ipc
