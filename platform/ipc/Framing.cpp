#include "ipc/Framing.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace ipc {

namespace {

// Waits until fd is ready for `events` or the deadline passes.
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

FrameStatus writeAll(int fd, const uint8_t* p, size_t n, Deadline deadline) {
    while (n > 0) {
        if (!waitReady(fd, POLLOUT, deadline)) return FrameStatus::TimedOut;
        ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return errno == EPIPE || errno == ECONNRESET ? FrameStatus::Closed : FrameStatus::Error;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return FrameStatus::Ok;
}

// Reads exactly n bytes; `atStart` tells a clean close before any byte from a cut frame.
FrameStatus readAll(int fd, uint8_t* p, size_t n, Deadline deadline, bool atStart) {
    size_t got = 0;
    while (got < n) {
        if (!waitReady(fd, POLLIN, deadline)) return FrameStatus::TimedOut;
        ssize_t r = ::recv(fd, p + got, n - got, MSG_DONTWAIT);
        if (r == 0) return (atStart && got == 0) ? FrameStatus::Closed : FrameStatus::Error;
        if (r < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return errno == ECONNRESET ? FrameStatus::Closed : FrameStatus::Error;
        }
        got += static_cast<size_t>(r);
    }
    return FrameStatus::Ok;
}

}  // namespace

FrameStatus writeFrame(int fd, std::span<const uint8_t> payload, Deadline deadline) {
    if (payload.size() > 0xFFFFFFFFu) return FrameStatus::TooLarge;
    uint32_t n = static_cast<uint32_t>(payload.size());
    uint8_t head[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    FrameStatus s = writeAll(fd, head, sizeof head, deadline);
    if (s != FrameStatus::Ok) return s;
    return writeAll(fd, payload.data(), payload.size(), deadline);
}

FrameStatus readFrame(int fd, std::vector<uint8_t>& payload, size_t maxBytes, Deadline deadline) {
    uint8_t head[4];
    FrameStatus s = readAll(fd, head, sizeof head, deadline, true);
    if (s != FrameStatus::Ok) return s;
    size_t n = (size_t(head[0]) << 24) | (size_t(head[1]) << 16) | (size_t(head[2]) << 8) | size_t(head[3]);
    if (n > maxBytes) return FrameStatus::TooLarge;
    payload.resize(n);
    return readAll(fd, payload.data(), n, deadline, false);
}

FrameStatus FrameAssembler::receive(int fd, std::vector<std::vector<uint8_t>>& frames) {
    uint8_t chunk[64 * 1024];
    ssize_t r;
    do {
        r = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return buffer_.empty() ? FrameStatus::Closed : FrameStatus::Error;
    if (r < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return FrameStatus::Ok;
        return errno == ECONNRESET ? FrameStatus::Closed : FrameStatus::Error;
    }
    buffer_.insert(buffer_.end(), chunk, chunk + r);
    if (buffer_.size() >= 4) {
        // The usual case, one whole frame and nothing after it, is handed on without a copy.
        size_t n = (size_t(buffer_[0]) << 24) | (size_t(buffer_[1]) << 16) | (size_t(buffer_[2]) << 8) |
                   size_t(buffer_[3]);
        if (n > maxBytes_) return FrameStatus::TooLarge;
        if (buffer_.size() == 4 + n) {
            buffer_.erase(buffer_.begin(), buffer_.begin() + 4);
            frames.push_back(std::move(buffer_));
            buffer_ = {};
            return FrameStatus::Ok;
        }
    }
    size_t pos = 0;
    while (buffer_.size() - pos >= 4) {
        const uint8_t* h = buffer_.data() + pos;
        size_t n = (size_t(h[0]) << 24) | (size_t(h[1]) << 16) | (size_t(h[2]) << 8) | size_t(h[3]);
        if (n > maxBytes_) return FrameStatus::TooLarge;
        if (buffer_.size() - pos - 4 < n) break;
        frames.emplace_back(h + 4, h + 4 + n);
        pos += 4 + n;
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(pos));
    return FrameStatus::Ok;
}

}  // namespace ipc
