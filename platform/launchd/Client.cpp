#include "Client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/archive/Plist.h"
#include "platform/ipc/Framing.h"
#include "Protocol.h"
#include "platform/paths/Paths.h"

namespace launchd {

namespace {

constexpr double kConnectSeconds = 5.0;
constexpr double kSendSeconds = 5.0;
constexpr double kReplySeconds = 15.0;
// An unload answers when the job has ended, which may take the supervisor's whole stop grace.
constexpr double kUnloadReplySeconds = 60.0;

Reply failure(ReplyStatus status, std::string message) {
    Reply r;
    r.status = status;
    r.message = std::move(message);
    return r;
}

// Connects to the socket; a full backlog is retried until the deadline.
int connectSocket(const std::string& path, std::string& error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        error = "socket path too long: " + path;
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ipc::Deadline deadline = ipc::deadlineAfter(kConnectSeconds);
    for (;;) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            error = std::strerror(errno);
            return -1;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return fd;
        int e = errno;
        ::close(fd);
        if (e != EAGAIN || std::chrono::steady_clock::now() >= deadline) {
            error = "cannot reach launchd at " + path + ": " + std::strerror(e);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

Reply exchange(const archive::Dictionary& request, double replySeconds) {
    std::optional<archive::Data> bytes = archive::serializePlist(request, archive::PlistFormat::Binary);
    if (!bytes) return failure(ReplyStatus::Failed, "cannot encode the request");
    std::string error;
    int fd = connectSocket(socketPath(), error);
    if (fd < 0) return failure(ReplyStatus::Unreachable, error);
    Reply reply;
    // A refused client finds the refusal waiting even when the server closed before the
    // request was written, so a failed write still reads.
    bool sent = ipc::writeFrame(fd, *bytes, ipc::deadlineAfter(kSendSeconds)) == ipc::FrameStatus::Ok;
    std::vector<uint8_t> answer;
    ipc::FrameStatus s = ipc::readFrame(fd, answer, protocol::kMaxFrameBytes,
                                        ipc::deadlineAfter(sent ? replySeconds : kSendSeconds));
    if (!sent && s != ipc::FrameStatus::Ok) {
        reply = failure(ReplyStatus::Unreachable, "launchd did not take the request");
    } else if (s == ipc::FrameStatus::TimedOut) {
        reply = failure(ReplyStatus::Failed, "launchd did not answer in time");
    } else if (s != ipc::FrameStatus::Ok) {
        reply = failure(ReplyStatus::Failed, "launchd closed the connection without an answer");
    } else if (std::optional<archive::Value> value = archive::parsePlist(answer); !value) {
        reply = failure(ReplyStatus::Failed, "malformed reply from launchd");
    } else {
        reply = protocol::decodeReply(*value);
    }
    ::close(fd);
    return reply;
}

std::string absolutePath(const std::string& path) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(path, ec);
    return ec ? path : p.lexically_normal().string();
}

}  // namespace

std::string socketPath() {
    return paths::runtimeFolder() + "/launchd.socket";
}

namespace client {

Reply load(const std::string& path, LoadOptions options) {
    return load(path, options, std::string());
}

Reply load(const std::string& path, LoadOptions options, const std::string& userName) {
    archive::Dictionary request{{protocol::kCommand, "load"},
                                {protocol::kPath, absolutePath(path)},
                                {protocol::kWrite, options.write},
                                {protocol::kForce, options.force}};
    if (!userName.empty()) request[protocol::kUserName] = userName;
    return exchange(request, kReplySeconds);
}

Reply unload(const std::string& path) {
    archive::Dictionary request{{protocol::kCommand, "unload"}, {protocol::kPath, absolutePath(path)}};
    return exchange(request, kUnloadReplySeconds);
}

Reply list() {
    return exchange({{protocol::kCommand, "list"}}, kReplySeconds);
}

Reply list(const std::string& label) {
    return exchange({{protocol::kCommand, "list"}, {protocol::kLabel, label}}, kReplySeconds);
}

}  // namespace client
}  // namespace launchd
