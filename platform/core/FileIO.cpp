#include "core/FileIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

}  // namespace

bool writeAll(int fd, std::span<const uint8_t> bytes) {
    const uint8_t* p = bytes.data();
    size_t n = bytes.size();
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool writeFileAtomically(const std::string& path, std::span<const uint8_t> bytes, mode_t mode) {
    std::string tmpl = path + ".tmp.XXXXXX";
    // Close-on-exec: a child started meanwhile by another thread must not inherit the file.
    int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = writeAll(fd, bytes) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(tmpl.c_str(), path.c_str()) == 0) {
        syncParentDirectory(path);
        return true;
    }
    ::unlink(tmpl.c_str());
    return false;
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
