#include "Endpoint.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "platform/paths/Paths.h"
#include "platform/sysinfo/ConsoleUser.h"

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

std::string socketPath(ServiceKind kind, std::string_view name, const Scope& scope) {
    std::string file = socketFileName(kind, name);
    if (file.empty()) return {};
    std::string folder = scope.user ? paths::userRuntimeFolder(*scope.user) : paths::runtimeFolder();
    return folder + "/" + file;
}

std::optional<Scope> consoleUserScope() {
    std::optional<std::string> user = sysinfo::consoleUser();
    if (!user) return std::nullopt;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd pw{};
    passwd* result = nullptr;
    if (::getpwnam_r(user->c_str(), &pw, buf.data(), buf.size(), &result) != 0 || !result)
        return std::nullopt;
    return Scope::ofUser(pw.pw_uid);
}

namespace {

// A socket address for a file in a folder held open: "/proc/self/fd/N/file", so that the
// address goes through the folder's descriptor, whatever happens to the path meanwhile, and deep
// test roots fit into sun_path. The folder must stay open while the address is used.
struct SocketAddress {
    sockaddr_un addr{};
    socklen_t len = 0;

    bool set(int folderFd, const std::string& file) {
        addr.sun_family = AF_UNIX;
        std::string target = "/proc/self/fd/" + std::to_string(folderFd) + "/" + file;
        if (target.size() >= sizeof addr.sun_path) return false;
        std::memcpy(addr.sun_path, target.c_str(), target.size() + 1);
        len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + target.size() + 1);
        return true;
    }
    // The file an O_PATH descriptor holds, whatever its name leads to by now.
    bool setDescriptor(int fd) {
        addr.sun_family = AF_UNIX;
        std::string target = "/proc/self/fd/" + std::to_string(fd);
        std::memcpy(addr.sun_path, target.c_str(), target.size() + 1);
        len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + target.size() + 1);
        return true;
    }
    void setPath(const std::string& path) {
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&addr); }
};

void setError(EndpointError* out, EndpointError e) {
    if (out) *out = e;
}

void setError(ConnectError* out, ConnectError e) {
    if (out) *out = e;
}

UniqueFd openFolder(const std::string& path) {
    return UniqueFd(::open(path.c_str(), O_DIRECTORY | O_CLOEXEC));
}

std::optional<gid_t> primaryGroup(uid_t uid) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd pw{};
    passwd* result = nullptr;
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &result) != 0 || !result) return std::nullopt;
    return pw.pw_gid;
}

// The parent of the users' folders: root's, 01733. Root creates it and mends its mode; others
// only check it.
UniqueFd openUserParent(bool create) {
    bool root = ::geteuid() == 0;
    if (create && root && !ensureRuntimeFolder()) return {};
    UniqueFd runtime = openFolder(paths::runtimeFolder());
    if (!runtime.valid()) return {};
    if (create && root && ::mkdirat(runtime.get(), "user", 0700) != 0 && errno != EEXIST) return {};
    // Others may not read the parent (nobody lists the users' folders), so it is held by O_PATH.
    UniqueFd parent(::openat(runtime.get(), "user", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!parent.valid()) return {};
    struct stat st {};
    if (::fstat(parent.get(), &st) != 0 || st.st_uid != 0) return {};
    if ((st.st_mode & 07777) != 01733) {
        if (!root) return {};
        UniqueFd readable(::openat(runtime.get(), "user", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat again {};
        if (!readable.valid() || ::fstat(readable.get(), &again) != 0 || again.st_ino != st.st_ino ||
            ::fchmod(readable.get(), 01733) != 0)
            return {};
    }
    return parent;
}

}  // namespace

UniqueFd openUserRuntimeFolder(uid_t uid, bool create) {
    uid_t me = ::geteuid();
    if (create && me != 0 && me != uid) return {};
    UniqueFd parent = openUserParent(create);
    if (!parent.valid()) return {};
    std::string name = std::to_string(uid);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (create && ::mkdirat(parent.get(), name.c_str(), 0700) != 0 && errno != EEXIST) return {};
        UniqueFd folder(::openat(parent.get(), name.c_str(), O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folder.valid()) {
            // A symlink or a file under the user's number: root moves it aside, others give up.
            if (!create || me != 0 || (errno != ELOOP && errno != ENOTDIR)) return {};
        } else {
            struct stat st {};
            if (::fstat(folder.get(), &st) != 0) return {};
            if (st.st_uid == 0 && uid != 0 && create && me == 0) {
                // Just made by root for the user: the user's from here on.
                std::optional<gid_t> gid = primaryGroup(uid);
                if (::fchown(folder.get(), uid, gid.value_or(static_cast<gid_t>(uid))) != 0) return {};
                st.st_uid = uid;
            }
            if (st.st_uid == uid) {
                if ((st.st_mode & 07777) != 0700 && (!create || ::fchmod(folder.get(), 0700) != 0)) return {};
                return folder;
            }
            // Somebody else's folder under this user's number: never used; root moves it aside.
            if (!create || me != 0) return {};
        }
        std::string aside = ".squatted." + name + "." + std::to_string(::getpid()) + "." +
                            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
        if (::renameat(parent.get(), name.c_str(), parent.get(), aside.c_str()) != 0) return {};
    }
    return {};
}

namespace {

// Root makes the parent of the users' folders along with the runtime folder, so that users can
// make their own folders there.
void ensureUserParent(const std::string& folder) {
    if (::geteuid() != 0) return;
    UniqueFd runtime = openFolder(folder);
    if (!runtime.valid()) return;
    if (::mkdirat(runtime.get(), "user", 0700) != 0 && errno != EEXIST) return;
    UniqueFd parent(::openat(runtime.get(), "user", O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (parent.valid() && ::fstat(parent.get(), &st) == 0 && st.st_uid == 0 && (st.st_mode & 07777) != 01733)
        ::fchmod(parent.get(), 01733);
}

}  // namespace

bool ensureRuntimeFolder() {
    std::string folder = paths::runtimeFolder();
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) return false;
        ensureUserParent(folder);
        return true;
    }
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
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    ensureUserParent(folder);
    return true;
}

namespace {

// The lock file of a name, 0600 and ours. A lock file of another mode or owner (left by an older
// release, or planted) may be held open by anybody: it is replaced, never locked.
UniqueFd openLockFile(int folderFd, const std::string& lockName) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        UniqueFd fd(::openat(folderFd, lockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!fd.valid()) {
            if (errno != ELOOP) return {};
            ::unlinkat(folderFd, lockName.c_str(), 0);
            continue;
        }
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0) return {};
        if (S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 0777) == 0600) return fd;
        struct stat now {};
        if (::fstatat(folderFd, lockName.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            now.st_ino == st.st_ino && now.st_dev == st.st_dev) {
            ::unlinkat(folderFd, lockName.c_str(), 0);
        }
    }
    return {};
}

// Binds the socket file. Root binding in a user's folder (a supervisor holding a user's service)
// does it with this thread's filesystem uid set to the user's, so the file is born the user's and
// needs no chown or chmod by path, which the folder's owner could redirect meanwhile.
bool bindInScope(int fd, const SocketAddress& addr, const Scope& scope) {
    const bool asUser = scope.user && *scope.user != 0 && ::geteuid() == 0;
    if (!asUser) return ::bind(fd, addr.get(), addr.len) == 0;
    ::setfsuid(*scope.user);
    if (static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))) != *scope.user) {
        ::setfsuid(0);
        errno = EPERM;
        return false;
    }
    const int rc = ::bind(fd, addr.get(), addr.len);
    const int saved = errno;
    ::setfsuid(0);
    errno = saved;
    return rc == 0;
}

}  // namespace

std::unique_ptr<ListeningEndpoint> ListeningEndpoint::open(ServiceKind kind, std::string_view name,
                                                           bool rootOnly, EndpointError* error) {
    return open(kind, name, rootOnly, Scope{}, error);
}

std::unique_ptr<ListeningEndpoint> ListeningEndpoint::open(ServiceKind kind, std::string_view name,
                                                           bool rootOnly, const Scope& scope,
                                                           EndpointError* error) {
    setError(error, EndpointError::None);
    std::string file = socketFileName(kind, name);
    if (file.empty()) {
        setError(error, EndpointError::InvalidName);
        return nullptr;
    }
    std::unique_ptr<ListeningEndpoint> ep(new ListeningEndpoint());
    ep->path_ = socketPath(kind, name, scope);
    ep->file_ = file;
    ep->rootOnly_ = rootOnly;

    // A supervisor holds the name and handed its socket over: serve on it as it is.
    if (std::optional<int> inherited = takeInheritedListener(kind, name)) {
        ep->listenFd_.reset(*inherited);
        ep->adopted_ = true;
        return ep;
    }

    if (scope.user) {
        ep->folderFd_ = openUserRuntimeFolder(*scope.user, true);
    } else if (ensureRuntimeFolder()) {
        ep->folderFd_ = openFolder(paths::runtimeFolder());
    }
    if (!ep->folderFd_.valid()) {
        setError(error, EndpointError::SystemError);
        return nullptr;
    }
    int folder = ep->folderFd_.get();

    // The lock, not the socket file, says who holds the name: the kernel drops it when its
    // holder dies, so a socket file without a locked lock file is stale.
    ep->lockFd_ = openLockFile(folder, file + ".lock");
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
    if (::unlinkat(folder, file.c_str(), 0) != 0 && errno != ENOENT) {
        setError(error, EndpointError::SystemError);
        return nullptr;
    }

    ep->listenFd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    SocketAddress addr;
    if (!ep->listenFd_.valid() || !addr.set(folder, file) || !bindInScope(ep->listenFd_.get(), addr, scope)) {
        setError(error, EndpointError::SystemError);
        return nullptr;
    }
    // The mode is set before listen(), so nobody can connect through a wider mode in between. In
    // a user's scope the user's 0700 folder keeps the others out.
    bool modeSet = scope.user || ::fchmodat(folder, file.c_str(), rootOnly ? 0600 : 0666, 0) == 0;
    if (!modeSet || ::listen(ep->listenFd_.get(), SOMAXCONN) != 0) {
        ::unlinkat(folder, file.c_str(), 0);
        setError(error, EndpointError::SystemError);
        return nullptr;
    }
    return ep;
}

void ListeningEndpoint::releaseName() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (released_) return;
    released_ = true;
    ::unlinkat(folderFd_.get(), file_.c_str(), 0);
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

UniqueFd connectToService(ServiceKind kind, std::string_view name, Deadline deadline, ConnectError* error,
                          const Scope& scope) {
    setError(error, ConnectError::None);
    std::string file = socketFileName(kind, name);
    if (file.empty()) {
        setError(error, ConnectError::InvalidName);
        return {};
    }
    // Root's folder is root's alone, so its sockets are addressed by path when the path fits; a
    // user's folder (or a deep test root) goes through the folder's descriptor.
    SocketAddress addr;
    UniqueFd folder;
    std::string rootPath = scope.user ? std::string() : paths::runtimeFolder() + "/" + file;
    if (!rootPath.empty() && rootPath.size() < sizeof addr.addr.sun_path) {
        addr.setPath(rootPath);
    } else {
        folder = scope.user ? openUserRuntimeFolder(*scope.user, false) : openFolder(paths::runtimeFolder());
        if (!folder.valid()) {
            setError(error, ConnectError::NoSuchName);
            return {};
        }
        if (!addr.set(folder.get(), file)) {
            setError(error, ConnectError::InvalidName);
            return {};
        }
    }
    // A socket file in a user's folder that is itself the user's (no link) was bound by the user's
    // service, or by root's supervisor holding it for the user until the service starts. The
    // connection goes to that very file, so what was checked is what is reached.
    UniqueFd socketFile;
    bool heldForUser = false;
    if (scope.user) {
        socketFile.reset(::openat(folder.get(), file.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (socketFile.valid() && ::fstat(socketFile.get(), &st) == 0 && S_ISSOCK(st.st_mode) &&
            st.st_uid == *scope.user) {
            heldForUser = addr.setDescriptor(socketFile.get());
        }
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
            case ELOOP:
                setError(error, ConnectError::NoSuchName);
                return {};
            default:
                setError(error, ConnectError::SystemError);
                return {};
        }
    }
    // A user's service is that user's own, or held for the user by root's supervisor in a socket
    // file of the user's: a socket file that leads elsewhere is not it.
    if (scope.user) {
        auto cred = peerCredentials(fd.get());
        if (!cred || (cred->uid != *scope.user && !(heldForUser && cred->uid == 0))) {
            setError(error, ConnectError::NoSuchName);
            return {};
        }
    }
    // The send time-out set for connecting stays: every send of this layer is non-blocking.
    return fd;
}

namespace {

std::mutex inheritedMutex;
std::set<int> inheritedTaken;

}  // namespace

std::optional<int> takeInheritedListener(ServiceKind kind, std::string_view name) {
    std::string wanted = socketFileName(kind, name);
    if (wanted.empty()) return std::nullopt;
    std::lock_guard<std::mutex> lock(inheritedMutex);
    const char* pidText = ::getenv("LISTEN_PID");
    const char* countText = ::getenv("LISTEN_FDS");
    const char* namesText = ::getenv("LISTEN_FDNAMES");
    if (!pidText || !countText || !namesText) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    long long pid = std::strtoll(pidText, &end, 10);
    if (errno || end == pidText || *end || pid != ::getpid()) return std::nullopt;
    errno = 0;
    long long count = std::strtoll(countText, &end, 10);
    if (errno || end == countText || *end || count <= 0 || count > 4096) return std::nullopt;
    std::string_view names(namesText);
    for (long long i = 0; i < count; ++i) {
        size_t colon = names.find(':');
        std::string_view entry = names.substr(0, colon);
        names = colon == std::string_view::npos ? std::string_view{} : names.substr(colon + 1);
        int fd = 3 + static_cast<int>(i);
        if (inheritedTaken.count(fd)) continue;
        // None of them is meant for this process's children.
        int fdFlags = ::fcntl(fd, F_GETFD);
        if (fdFlags >= 0 && !(fdFlags & FD_CLOEXEC)) ::fcntl(fd, F_SETFD, fdFlags | FD_CLOEXEC);
        if (entry != wanted) continue;
        // It must be a listening stream socket, not whatever happens to sit at that number.
        struct stat st {};
        int listening = 0, type = 0;
        socklen_t len = sizeof listening, tlen = sizeof type;
        if (::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode) ||
            ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || !listening ||
            ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &tlen) != 0 || type != SOCK_STREAM) {
            continue;
        }
        inheritedTaken.insert(fd);
        int flags = ::fcntl(fd, F_GETFL);
        ::fcntl(fd, F_SETFL, (flags < 0 ? 0 : flags) | O_NONBLOCK);
        return fd;
    }
    return std::nullopt;
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
