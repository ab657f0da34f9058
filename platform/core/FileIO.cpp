#include "FileIO.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace fileio {

namespace {

std::optional<std::vector<uint8_t>> readAll(int fd, size_t maxBytes) {
    std::vector<uint8_t> out;
    uint8_t buf[65536];
    for (;;) {
        ssize_t r = ::read(fd, buf, sizeof buf);
        if (r < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (r == 0) break;
        if (out.size() + static_cast<size_t>(r) > maxBytes) return std::nullopt;
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

// Makes a completed rename durable; the replacement itself has already happened.
void syncParentDirectory(const std::string& path) {
    auto slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

constexpr std::string_view kTemporaryInfix = ".tmp.";
constexpr size_t kTemporarySuffixLength = 6;  // the XXXXXX that mkostemp fills in

// "<name>.tmp.XXXXXX" with a non-empty name and six letters or digits, as mkostemp makes them.
bool isTemporaryName(std::string_view name) {
    if (name.size() <= kTemporaryInfix.size() + kTemporarySuffixLength) return false;
    const size_t infixAt = name.size() - kTemporarySuffixLength - kTemporaryInfix.size();
    if (name.substr(infixAt, kTemporaryInfix.size()) != kTemporaryInfix) return false;
    for (char c : name.substr(name.size() - kTemporarySuffixLength)) {
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum) return false;
    }
    return true;
}

bool earlier(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

}  // namespace

size_t writeCounted(int fd, std::span<const uint8_t> bytes, int* error) {
    const uint8_t* p = bytes.data();
    size_t left = bytes.size();
    int failure = 0;
    while (left > 0) {
        ssize_t w = ::write(fd, p, left);
        if (w < 0) {
            if (errno == EINTR) continue;
            failure = errno;
            break;
        }
        if (w == 0) {  // nothing taken and no error: retrying would spin
            failure = EIO;
            break;
        }
        p += w;
        left -= static_cast<size_t>(w);
    }
    if (error) *error = failure;
    return bytes.size() - left;
}

bool writeAll(int fd, std::span<const uint8_t> bytes) {
    int error = 0;
    return writeCounted(fd, bytes, &error) == bytes.size() && error == 0;
}

size_t removeStaleTemporaries(const std::string& folder, const timespec& before) {
    int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) return 0;
    // The listing reads through its own duplicate so dirFd stays ours for fstatat and unlinkat.
    int listFd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0) ::close(listFd);
        ::close(dirFd);
        return 0;
    }
    const uid_t self = ::geteuid();
    size_t removed = 0;
    while (dirent* entry = ::readdir(dir)) {
        if (!isTemporaryName(entry->d_name)) continue;
        struct stat st {};
        if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISREG(st.st_mode) || st.st_uid != self || !earlier(st.st_mtim, before)) continue;
        if (::unlinkat(dirFd, entry->d_name, 0) == 0) ++removed;
    }
    ::closedir(dir);
    ::close(dirFd);
    return removed;
}

namespace {

bool replaceFile(const std::string& path, std::span<const uint8_t> bytes, mode_t mode, bool sync) {
    std::string tmpl = path + ".tmp.XXXXXX";
    // Close-on-exec: a child started meanwhile by another thread must not inherit the file.
    int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = writeAll(fd, bytes) && ::fchmod(fd, mode) == 0 && (!sync || ::fsync(fd) == 0);
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(tmpl.c_str(), path.c_str()) == 0) {
        if (sync) syncParentDirectory(path);
        return true;
    }
    ::unlink(tmpl.c_str());
    return false;
}

}  // namespace

bool writeFileAtomically(const std::string& path, std::span<const uint8_t> bytes, mode_t mode) {
    return replaceFile(path, bytes, mode, true);
}

bool replaceFileUnsynced(const std::string& path, std::span<const uint8_t> bytes, mode_t mode) {
    return replaceFile(path, bytes, mode, false);
}

bool writeFileAtomically(const std::string& path, const std::string& text, mode_t mode) {
    return writeFileAtomically(
        path, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()), mode);
}

std::optional<std::vector<uint8_t>> readFile(const std::string& path, size_t maxBytes) {
    // Non-blocking open: a FIFO at path must not hang the caller.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    auto out = readAll(fd, maxBytes);
    ::close(fd);
    return out;
}

std::optional<std::vector<uint8_t>> readUserFile(const std::string& path, std::optional<uid_t> expectedOwner,
                                                 size_t maxBytes) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<std::vector<uint8_t>> out;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (!expectedOwner || st.st_uid == *expectedOwner) &&
        static_cast<size_t>(st.st_size) <= maxBytes) {
        out = readAll(fd, maxBytes);
    }
    ::close(fd);
    return out;
}

}  // namespace fileio
