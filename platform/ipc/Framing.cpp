#include "Framing.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace ipc {

namespace {

// A frame's buffer grows by at least this much, and at most doubles, per step.
constexpr size_t kGrowStep = 64 * 1024;

// Waits until fd is ready for `events`; false once the deadline has passed.
bool waitReady(int fd, short events, Deadline deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, events, 0};
        int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
}

// The next size of a frame's buffer that holds `have` bytes of `total`: at most double, and the
// whole frame once little is left, so that the last step does not copy what arrived.
size_t grownSize(size_t have, size_t total) {
    size_t next = std::min(total, have + std::max(kGrowStep, have));
    return total - next < kGrowStep ? total : next;
}

size_t lengthOf(const uint8_t* h) {
    return (size_t(h[0]) << 24) | (size_t(h[1]) << 16) | (size_t(h[2]) << 8) | size_t(h[3]);
}

// Sends the iovecs in full; each send is tried before any wait, so a past deadline still gets
// one try.
FrameStatus writeAll(int fd, iovec* iov, size_t count, Deadline deadline) {
    while (count > 0) {
        if (iov->iov_len == 0) {
            ++iov;
            --count;
            continue;
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = std::min<size_t>(count, IOV_MAX);
        ssize_t w = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (!waitReady(fd, POLLOUT, deadline)) return FrameStatus::TimedOut;
                continue;
            }
            return errno == EPIPE || errno == ECONNRESET ? FrameStatus::Closed : FrameStatus::Error;
        }
        size_t done = static_cast<size_t>(w);
        while (count > 0 && done >= iov->iov_len) {
            done -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + done;
            iov->iov_len -= done;
        }
    }
    return FrameStatus::Ok;
}

// Reads up to n bytes into p: what is there now, or after waiting. `atStart` tells a clean close
// before any byte from a cut frame.
FrameStatus readSome(int fd, uint8_t* p, size_t n, size_t& got, Deadline deadline, bool atStart) {
    for (;;) {
        ssize_t r = ::recv(fd, p, n, MSG_DONTWAIT);
        if (r > 0) {
            got = static_cast<size_t>(r);
            return FrameStatus::Ok;
        }
        if (r == 0) return atStart ? FrameStatus::Closed : FrameStatus::Error;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!waitReady(fd, POLLIN, deadline)) return FrameStatus::TimedOut;
            continue;
        }
        return errno == ECONNRESET ? FrameStatus::Closed : FrameStatus::Error;
    }
}

}  // namespace

FrameStatus writeFrameParts(int fd, std::span<const std::span<const uint8_t>> parts, Deadline deadline) {
    size_t total = 0;
    for (const auto& part : parts) total += part.size();
    if (total > 0xFFFFFFFFu) return FrameStatus::TooLarge;
    uint32_t n = static_cast<uint32_t>(total);
    uint8_t head[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    std::vector<iovec> iov;
    iov.reserve(parts.size() + 1);
    iov.push_back({head, sizeof head});
    for (const auto& part : parts) iov.push_back({const_cast<uint8_t*>(part.data()), part.size()});
    return writeAll(fd, iov.data(), iov.size(), deadline);
}

FrameStatus writeFrame(int fd, std::span<const uint8_t> payload, Deadline deadline) {
    std::span<const uint8_t> parts[] = {payload};
    return writeFrameParts(fd, parts, deadline);
}

FrameStatus readFrame(int fd, std::vector<uint8_t>& payload, size_t maxBytes, Deadline deadline,
                      FrameBudget* budget, uid_t uid) {
    uint8_t head[4];
    size_t headGot = 0;
    while (headGot < sizeof head) {
        size_t got = 0;
        FrameStatus s = readSome(fd, head + headGot, sizeof head - headGot, got, deadline, headGot == 0);
        if (s != FrameStatus::Ok) return s;
        headGot += got;
    }
    size_t n = lengthOf(head);
    if (n > maxBytes) return FrameStatus::TooLarge;
    // The buffer grows with what arrives, so a bare header costs nothing.
    payload.clear();
    size_t have = 0;
    size_t charged = 0;
    FrameStatus status = FrameStatus::Ok;
    while (have < n) {
        if (payload.size() == have) {
            size_t next = grownSize(have, n);
            if (budget) {
                if (!budget->take(uid, next - charged)) {
                    status = FrameStatus::TooLarge;
                    break;
                }
                charged = next;
            }
            payload.resize(next);
        }
        size_t got = 0;
        status = readSome(fd, payload.data() + have, payload.size() - have, got, deadline, false);
        if (status != FrameStatus::Ok) break;
        have += got;
    }
    if (budget && charged) budget->give(uid, charged);
    if (status != FrameStatus::Ok) {
        payload = {};
        return status;
    }
    payload.resize(n);
    return FrameStatus::Ok;
}

bool FrameBudget::take(uid_t uid, size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t& mine = byUid_[uid];
    if (bytes > perPeer_ - std::min(perPeer_, mine)) return false;
    if (uid != 0 && bytes > others_ - std::min(others_, othersHeld_)) return false;
    mine += bytes;
    (uid == 0 ? rootHeld_ : othersHeld_) += bytes;
    return true;
}

void FrameBudget::give(uid_t uid, size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = byUid_.find(uid);
    if (it == byUid_.end()) return;
    bytes = std::min(bytes, it->second);
    it->second -= bytes;
    (uid == 0 ? rootHeld_ : othersHeld_) -= bytes;
    if (it->second == 0) byUid_.erase(it);
}

size_t FrameBudget::held() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rootHeld_ + othersHeld_;
}

FrameAssembler::FrameAssembler(FrameAssembler&& o) noexcept
    : maxBytes_(o.maxBytes_),
      budget_(std::move(o.budget_)),
      uid_(o.uid_),
      headGot_(o.headGot_),
      expected_(o.expected_),
      payload_(std::move(o.payload_)),
      got_(o.got_),
      charged_(o.charged_) {
    std::copy(std::begin(o.head_), std::end(o.head_), head_);
    o.headGot_ = o.expected_ = o.got_ = o.charged_ = 0;
}

FrameAssembler& FrameAssembler::operator=(FrameAssembler&& o) noexcept {
    if (this == &o) return *this;
    if (budget_ && charged_) budget_->give(uid_, charged_);
    maxBytes_ = o.maxBytes_;
    budget_ = std::move(o.budget_);
    uid_ = o.uid_;
    std::copy(std::begin(o.head_), std::end(o.head_), head_);
    headGot_ = o.headGot_;
    expected_ = o.expected_;
    payload_ = std::move(o.payload_);
    got_ = o.got_;
    charged_ = o.charged_;
    o.headGot_ = o.expected_ = o.got_ = o.charged_ = 0;
    return *this;
}

FrameAssembler::~FrameAssembler() {
    if (budget_ && charged_) budget_->give(uid_, charged_);
}

bool FrameAssembler::charge(size_t bytes) {
    if (bytes > charged_) {
        if (budget_ && !budget_->take(uid_, bytes - charged_)) return false;
    } else if (budget_ && bytes < charged_) {
        budget_->give(uid_, charged_ - bytes);
    }
    charged_ = bytes;
    return true;
}

void FrameAssembler::reset() {
    headGot_ = 0;
    expected_ = 0;
    got_ = 0;
    payload_ = {};
    charge(0);
}

FrameStatus FrameAssembler::receive(int fd, std::vector<std::vector<uint8_t>>& frames) {
    // A bounded number of reads per call, so that one busy peer cannot hold the loop.
    for (int round = 0; round < 16; ++round) {
        uint8_t* into;
        size_t room;
        if (headGot_ < 4) {
            into = head_ + headGot_;
            room = 4 - headGot_;
        } else {
            if (payload_.size() == got_) {
                size_t next = grownSize(got_, expected_);
                if (!charge(next)) return FrameStatus::TooLarge;
                payload_.resize(next);
            }
            into = payload_.data() + got_;
            room = payload_.size() - got_;
        }
        ssize_t r;
        do {
            r = ::recv(fd, into, room, MSG_DONTWAIT);
        } while (r < 0 && errno == EINTR);
        if (r == 0) return headGot_ == 0 ? FrameStatus::Closed : FrameStatus::Error;
        if (r < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return FrameStatus::Ok;
            return errno == ECONNRESET && headGot_ == 0 ? FrameStatus::Closed : FrameStatus::Error;
        }
        if (headGot_ < 4) {
            headGot_ += static_cast<size_t>(r);
            if (headGot_ < 4) continue;
            expected_ = lengthOf(head_);
            if (expected_ > maxBytes_) return FrameStatus::TooLarge;
            got_ = 0;
        } else {
            got_ += static_cast<size_t>(r);
        }
        if (got_ == expected_) {
            payload_.resize(got_);
            frames.push_back(std::move(payload_));
            reset();
        }
    }
    return FrameStatus::Ok;
}

}  // namespace ipc
