// Feeds an arbitrary byte stream from a peer through both frame readers at the caps the services
// use: the non-blocking assembler of the serve loops (with the per-user budget) and the blocking
// reader. Both must find the same frames a plain reading of the stream finds, stop where it stops,
// and give back every byte they charged.
//
// Input: byte 0 picks the caller (cap, peer uid, part of the budget already held by the same
// user's other connections), byte 1 the size of the pieces the stream arrives in, the rest is
// the stream.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/ipc/Framing.h"

namespace {

struct Caller {
    size_t maxBytes;
    size_t perPeer;
    size_t others;
};

// Message ports (1 MiB requests), named and two-way connections (16 MiB messages), the service
// manager's protocol (1 MiB frames, no budget); budgets at the serve loops' defaults.
constexpr Caller kCallers[] = {
    {1u << 20, 2u << 20, 4u << 20},
    {16u << 20, 32u << 20, 64u << 20},
    {32u << 20, 64u << 20, 128u << 20},
    {1u << 20, 0, 0},
};

enum class End { Clean, Cut, TooLarge };

struct Expected {
    std::vector<std::vector<uint8_t>> frames;
    // The length each whole header announced, the last one's frame possibly cut.
    std::vector<size_t> lengths;
    End end = End::Clean;
};

// The stream read by hand: whole frames, then a clean end, a cut frame or one over the cap.
Expected parse(const uint8_t* p, size_t n, size_t maxBytes) {
    Expected e;
    size_t at = 0;
    while (at < n) {
        if (n - at < 4) {
            e.end = End::Cut;
            return e;
        }
        size_t len = (size_t(p[at]) << 24) | (size_t(p[at + 1]) << 16) | (size_t(p[at + 2]) << 8) | p[at + 3];
        at += 4;
        e.lengths.push_back(len);
        if (len > maxBytes) {
            e.end = End::TooLarge;
            return e;
        }
        if (n - at < len) {
            e.end = End::Cut;
            return e;
        }
        e.frames.emplace_back(p + at, p + at + len);
        at += len;
    }
    return e;
}

struct Pair {
    int fd[2] = {-1, -1};
    Pair() {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd) != 0) __builtin_trap();
        int big = 1 << 20;
        ::setsockopt(fd[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    }
    ~Pair() {
        for (int f : fd) {
            if (f >= 0) ::close(f);
        }
    }
};

void sendAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) __builtin_trap();
        p += w;
        n -= static_cast<size_t>(w);
    }
}

void checkAssembler(const uint8_t* stream, size_t n, const Caller& caller, uid_t uid, size_t preHeld,
                    size_t piece, const Expected& want) {
    std::shared_ptr<ipc::FrameBudget> budget;
    if (caller.perPeer) {
        budget = std::make_shared<ipc::FrameBudget>(caller.perPeer, caller.others);
        if (preHeld && !budget->take(uid, preHeld)) __builtin_trap();
    }
    const size_t room = caller.perPeer ? caller.perPeer - preHeld : SIZE_MAX;
    Pair pair;
    std::vector<std::vector<uint8_t>> frames;
    ipc::FrameStatus status = ipc::FrameStatus::Ok;
    {
        ipc::FrameAssembler assembler(caller.maxBytes, budget, uid);
        size_t sent = 0;
        bool shut = false;
        while (status == ipc::FrameStatus::Ok) {
            if (sent < n) {
                // Without waiting: a full socket drains through the assembler on this round.
                ssize_t w =
                    ::send(pair.fd[1], stream + sent, std::min(piece, n - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (w > 0) sent += static_cast<size_t>(w);
            }
            if (sent == n && !shut) {
                ::shutdown(pair.fd[1], SHUT_WR);
                shut = true;
            }
            status = assembler.receive(pair.fd[0], frames);
            if (assembler.heldBytes() > room) __builtin_trap();
            if (budget && budget->held() != preHeld + assembler.heldBytes()) __builtin_trap();
        }
        // Nothing more arrives after the verdict; what was found before it matches the stream.
        if (frames.size() > want.frames.size()) __builtin_trap();
        for (size_t i = 0; i < frames.size(); ++i) {
            if (frames[i] != want.frames[i]) __builtin_trap();
        }
        switch (status) {
            case ipc::FrameStatus::Closed:
                if (want.end != End::Clean || frames.size() != want.frames.size()) __builtin_trap();
                break;
            case ipc::FrameStatus::Error:
                if (want.end != End::Cut || frames.size() != want.frames.size()) __builtin_trap();
                break;
            case ipc::FrameStatus::TooLarge: {
                // Over the cap, or a frame that would not fit in what the user may still hold.
                bool cap = want.end == End::TooLarge && frames.size() == want.frames.size();
                bool overBudget = frames.size() < want.lengths.size() && want.lengths[frames.size()] > room;
                if (!cap && !overBudget) __builtin_trap();
                break;
            }
            default:
                __builtin_trap();
        }
    }
    if (budget && budget->held() != preHeld) __builtin_trap();
}

void checkBlockingReader(const uint8_t* stream, size_t n, const Caller& caller, uid_t uid, size_t preHeld,
                         const Expected& want) {
    std::unique_ptr<ipc::FrameBudget> budget;
    if (caller.perPeer) {
        budget = std::make_unique<ipc::FrameBudget>(caller.perPeer, caller.others);
        if (preHeld && !budget->take(uid, preHeld)) __builtin_trap();
    }
    const size_t room = caller.perPeer ? caller.perPeer - preHeld : SIZE_MAX;
    Pair pair;
    sendAll(pair.fd[1], stream, n);
    ::shutdown(pair.fd[1], SHUT_WR);
    size_t i = 0;
    for (;;) {
        std::vector<uint8_t> frame;
        ipc::FrameStatus s =
            ipc::readFrame(pair.fd[0], frame, caller.maxBytes, ipc::deadlineAfter(10), budget.get(), uid);
        if (budget && budget->held() != preHeld) __builtin_trap();
        if (s == ipc::FrameStatus::Ok) {
            if (i >= want.frames.size() || frame != want.frames[i]) __builtin_trap();
            ++i;
            continue;
        }
        if (!frame.empty()) __builtin_trap();
        if (s == ipc::FrameStatus::Closed) {
            if (want.end != End::Clean || i != want.frames.size()) __builtin_trap();
        } else if (s == ipc::FrameStatus::Error) {
            if (want.end != End::Cut || i != want.frames.size()) __builtin_trap();
        } else if (s == ipc::FrameStatus::TooLarge) {
            bool cap = want.end == End::TooLarge && i == want.frames.size();
            bool overBudget = i < want.lengths.size() && want.lengths[i] > room;
            if (!cap && !overBudget) __builtin_trap();
        } else {
            __builtin_trap();
        }
        return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One send of the whole stream must fit a socket buffer, so the blocking reader needs no thread.
    if (size < 2 || size > (64u << 10)) return 0;
    const Caller& caller = kCallers[data[0] & 3];
    const uid_t uid = (data[0] & 4) ? 501 : 0;
    // Part of the user's budget held elsewhere: none, or all but a few bytes up to a few frames' worth.
    size_t preHeld = 0;
    if (caller.perPeer && (data[0] & 0x70)) {
        size_t left = size_t(1) << (4 * ((data[0] >> 4) & 7));
        preHeld = caller.perPeer - std::min(caller.perPeer, left);
    }
    const size_t piece = 1 + data[1] * 64;
    const uint8_t* stream = data + 2;
    const size_t n = size - 2;
    const Expected want = parse(stream, n, caller.maxBytes);
    checkAssembler(stream, n, caller, uid, preHeld, piece, want);
    checkBlockingReader(stream, n, caller, uid, preHeld, want);
    return 0;
}
