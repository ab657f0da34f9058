#include "ipc/Endpoint.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "paths/Paths.h"

namespace ipc {

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
}

int UniqueFd::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

std::optional<PeerCredentials> peerCredentials(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred)
        return std::nullopt;
    return PeerCredentials{cred.pid, cred.uid, cred.gid};
}

std::string socketFileName(ServiceKind kind, std::string_view name) {
    if (name.empty()) return {};
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    switch (kind) {
        case ServiceKind::MessagePort:
            out = "port.";
            break;
        case ServiceKind::Connection:
            out = "conn.";
            break;
        case ServiceKind::Xpc:
            out = "xpc.";
            break;
    }
    for (unsigned char c : name) {
        if (kind == ServiceKind::MessagePort) c = static_cast<unsigned char>(std::tolower(c));
        if (std::isalnum(c) || c == '.' || c == '_' || c == '-') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string socketPath(ServiceKind kind, std::string_view name) {
    std::string file = socketFileName(kind, name);
    if (file.empty()) return {};
    return paths::runtimeFolder() + "/" + file;
}

namespace {

// A socket address for a path. Paths longer than sun_path (deep test roots) are reached through
// an O_PATH descriptor of their folder, which must stay open while the address is used.
struct SocketAddress {
    sockaddr_un addr{};
    socklen_t len = 0;
    UniqueFd folder;

    bool set(const std::string& path) {
        addr.sun_family = AF_UNIX;
        std::string target = path;
        if (target.size() >= sizeof addr.sun_path) {
            auto slash = path.rfind('/');
            if (slash == std::string::npos) return false;
            std::string dir = slash == 0 ? "/" : path.substr(0, slash);
            folder.reset(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!folder.valid()) return false;
            target = "/proc/self/fd/" + std::to_string(folder.get()) + path.substr(slash);
            if (target.size() >= sizeof addr.sun_path) return false;
        }
        std::memcpy(addr.sun_path, target.c_str(), target.size() + 1);
        len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + target.size() + 1);
        return true;
    }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&addr); }
};

void setError(EndpointError* out, EndpointError e) {
    if (out) *out = e;
}

void setError(ConnectError* out, ConnectError e) {
    if (out) *out = e;
}

}  // namespace

bool ensureRuntimeFolder() {
    std::string folder = paths::runtimeFolder();
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    size_t pos = 1;
    while (pos <= folder.size()) {
        size_t next = folder.find('/', pos);
        if (next == std::string::npos) next = folder.size();
        std::string part = folder.substr(0, next);
        if (::mkdir(part.c_str(), 0755) == 0) {
            ::chmod(part.c_str(), 0755);  // the umask must not narrow a folder that peers traverse
        } else if (errno != EEXIST) {
            return false;
        }
        pos = next + 1;
    }
    return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::unique_ptr<ListeningEndpoint> ListeningEndpoint::open(ServiceKind kind, std::string_view name,
                                                           bool rootOnly, EndpointError* error) {
    setError(error, EndpointError::None);
    std::string path = socketPath(kind, name);
    if (path.empty()) {
        setError(error, EndpointError::InvalidName);
        return nullptr;
    }
    if (!ensureRuntimeFolder()) {
        setError(error, EndpointError::SystemError);
        return nullptr;
    }
    std::unique_ptr<ListeningEndpoint> ep(new ListeningEndpoint());
    ep->path_ = path;
    ep->rootOnly_ = rootOnly;

    // The lock, not the socket file, says who holds the name: the kernel drops it when its
    // holder dies, so a socket file without a locked lock file is stale.
    std::string lockPath = path + ".lock";
    ep->lockFd_.reset(
        ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, rootOnly ? 0600 : 0644));
    if (!ep->lockFd_.valid()) {
        setError(error, EndpointError::SystemError);
        return nullptr;
    }
    while (::flock(ep->lockFd_.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        setError(error, errno == EWOULDBLOCK ? EndpointError::NameHeld : EndpointError::SystemError);
        return nullptr;
    }
    ep->released_ = false;  // from here on the socket file is ours to remove
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        setError(error, EndpointError::SystemError);
        return nullptr;
    }

    ep->listenFd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    SocketAddress addr;
    if (!ep->listenFd_.valid() || !addr.set(path) || ::bind(ep->listenFd_.get(), addr.get(), addr.len) != 0) {
        setError(error, EndpointError::SystemError);
        return nullptr;
    }
    // The mode is set before listen(), so nobody can connect through a wider mode in between.
    if (::chmod(path.c_str(), rootOnly ? 0600 : 0666) != 0 || ::listen(ep->listenFd_.get(), 128) != 0) {
        ::unlink(path.c_str());
        setError(error, EndpointError::SystemError);
        return nullptr;
    }
    return ep;
}

void ListeningEndpoint::releaseName() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (released_) return;
    released_ = true;
    ::unlink(path_.c_str());
    lockFd_.reset();
}

void ListeningEndpoint::close() {
    releaseName();
    std::lock_guard<std::mutex> lock(mutex_);
    listenFd_.reset();
}

ListeningEndpoint::~ListeningEndpoint() {
    close();
}

UniqueFd connectToService(ServiceKind kind, std::string_view name, Deadline deadline, ConnectError* error) {
    setError(error, ConnectError::None);
    std::string path = socketPath(kind, name);
    if (path.empty()) {
        setError(error, ConnectError::InvalidName);
        return {};
    }
    SocketAddress addr;
    if (!addr.set(path)) {
        setError(error, ConnectError::InvalidName);
        return {};
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        setError(error, ConnectError::SystemError);
        return {};
    }
    for (bool first = true;; first = false) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            // A time-out of zero still gets one try at a service that is ready at once.
            if (!first) {
                setError(error, ConnectError::TimedOut);
                return {};
            }
            left = std::chrono::microseconds(1000);
        }
        // A blocking connect to a full backlog waits for the send time-out, then fails with EAGAIN.
        timeval tv{static_cast<time_t>(left.count() / 1000000),
                   static_cast<suseconds_t>(left.count() % 1000000)};
        ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        if (::connect(fd.get(), addr.get(), addr.len) == 0) break;
        switch (errno) {
            case EINTR:
                continue;
            case EAGAIN:
            case ETIMEDOUT:
            case EINPROGRESS:
                setError(error, ConnectError::TimedOut);
                return {};
            case ENOENT:
            case ECONNREFUSED:
            case EACCES:
            case EPERM:
            case ENOTDIR:
            case ENOTSOCK:
            case EPROTOTYPE:
                setError(error, ConnectError::NoSuchName);
                return {};
            default:
                setError(error, ConnectError::SystemError);
                return {};
        }
    }
    timeval none{0, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
    return fd;
}

Waker::Waker() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void Waker::wake() {
    uint64_t one = 1;
    ssize_t r;
    do {
        r = ::write(fd_.get(), &one, sizeof one);
    } while (r < 0 && errno == EINTR);
}

}  // namespace ipc
