#include "UserFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <utility>

#include "FileIO.h"

namespace fileio {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool ownedDirectory(int fd, uid_t uid) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid;
}

bool actingForAnotherUser(uid_t uid) {
    return ::geteuid() == 0 && uid != 0;
}

std::string temporaryName(const std::string& name) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    const char* digits = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string suffix;
    uint64_t r = random();
    for (int i = 0; i < 10; ++i, r /= 36) suffix += digits[r % 36];
    return "." + name + ".tmp." + suffix;
}

}  // namespace

bool UserFolder::plainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::optional<UserFolder> UserFolder::open(const std::string& home,
                                           const std::vector<std::string>& components, Owner owner,
                                           bool create) {
    int dir = ::open(home.c_str(), kDirFlags);
    if (dir < 0) return std::nullopt;
    if (!ownedDirectory(dir, owner.uid)) {
        ::close(dir);
        return std::nullopt;
    }
    for (const std::string& name : components) {
        if (!plainName(name)) {
            ::close(dir);
            return std::nullopt;
        }
        int next = ::openat(dir, name.c_str(), kDirFlags);
        if (next < 0 && errno == ENOENT && create && ::mkdirat(dir, name.c_str(), 0755) == 0) {
            next = ::openat(dir, name.c_str(), kDirFlags);
            // The folder root just made goes to its user; whatever else now stands under the name
            // fails the owner check below.
            struct stat st {};
            if (next >= 0 && actingForAnotherUser(owner.uid) && ::fstat(next, &st) == 0 && st.st_uid == 0 &&
                ::fchown(next, owner.uid, owner.gid) != 0) {
                ::close(next);
                next = -1;
            }
        }
        ::close(dir);
        if (next < 0) return std::nullopt;
        if (!ownedDirectory(next, owner.uid)) {
            ::close(next);
            return std::nullopt;
        }
        dir = next;
    }
    return UserFolder(dir, owner);
}

UserFolder::UserFolder(UserFolder&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), owner_(other.owner_) {}

UserFolder& UserFolder::operator=(UserFolder&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        owner_ = other.owner_;
    }
    return *this;
}

UserFolder::~UserFolder() {
    if (fd_ >= 0) ::close(fd_);
}

bool UserFolder::contains(const std::string& name) const {
    struct stat st {};
    return plainName(name) && ::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

std::optional<std::vector<uint8_t>> UserFolder::readFile(const std::string& name, size_t maxBytes) const {
    if (!plainName(name)) return std::nullopt;
    // Non-blocking: a FIFO under the name must not hang root.
    int fd = ::openat(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<std::vector<uint8_t>> out;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == owner_.uid &&
        static_cast<size_t>(st.st_size) <= maxBytes) {
        std::vector<uint8_t> bytes;
        uint8_t buf[65536];
        bool ok = true;
        for (;;) {
            ssize_t r = ::read(fd, buf, sizeof buf);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 || bytes.size() + static_cast<size_t>(r) > maxBytes) {
                ok = false;
                break;
            }
            if (r == 0) break;
            bytes.insert(bytes.end(), buf, buf + r);
        }
        if (ok) out = std::move(bytes);
    }
    ::close(fd);
    return out;
}

bool UserFolder::writeFileAtomically(const std::string& name, std::span<const uint8_t> bytes,
                                     mode_t mode) const {
    if (!plainName(name)) return false;
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        tmp = temporaryName(name);
        fd = ::openat(fd_, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    bool ok = writeAll(fd, bytes) && ::fchmod(fd, mode) == 0;
    if (ok && actingForAnotherUser(owner_.uid)) ok = ::fchown(fd, owner_.uid, owner_.gid) == 0;
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok && ::renameat(fd_, tmp.c_str(), fd_, name.c_str()) == 0) {
        ::fsync(fd_);
        return true;
    }
    ::unlinkat(fd_, tmp.c_str(), 0);
    return false;
}

bool UserFolder::removeFile(const std::string& name) const {
    return plainName(name) && ::unlinkat(fd_, name.c_str(), 0) == 0;
}

}  // namespace fileio
