#include "HelperCopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "platform/paths/Paths.h"

namespace helperscaffold {

namespace {

constexpr size_t kMaxHelperBytes = 256u << 20;

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

std::string errnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool plainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool copyAll(int from, int to) {
    char buffer[65536];
    size_t total = 0;
    for (;;) {
        ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        total += static_cast<size_t>(n);
        if (total > kMaxHelperBytes) {
            errno = EFBIG;
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(to, buffer + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) return false;
            done += w;
        }
    }
}

}  // namespace

HelperCopy copyIntoHelperFolder(const std::string& source, const std::string& destination) {
    HelperCopy result;
    auto refuse = [&result](std::string why) {
        result.removeError = why;
        result.copyError = std::move(why);
        return result;
    };
    const std::string folder = paths::privilegedHelperFolder();
    if (destination.size() <= folder.size() + 1 ||
        destination.compare(0, folder.size() + 1, folder + "/") != 0)
        return refuse("refused: " + destination + " is not in " + folder);
    const std::string name = destination.substr(folder.size() + 1);
    if (!plainName(name)) return refuse("refused: " + destination + " is not a plain name in " + folder);

    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.get() < 0) return refuse(errnoText("refused: " + folder));
    struct stat dirStat {};
    if (::fstat(dir.get(), &dirStat) != 0 || dirStat.st_uid != 0 || (dirStat.st_mode & (S_IWGRP | S_IWOTH)))
        return refuse("refused: " + folder + " is not root's alone");

    struct stat old {};
    if (::fstatat(dir.get(), name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(old.st_mode)) return refuse("refused: " + destination + " is a link");
        if (!S_ISREG(old.st_mode)) return refuse("refused: " + destination + " is not a regular file");
    } else if (errno != ENOENT) {
        return refuse(errnoText("refused: " + destination));
    }

    Fd from(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (from.get() < 0) {
        result.copyError = errno == ELOOP ? "refused: " + source + " is a link" : errnoText(source);
        return result;
    }
    struct stat src {};
    if (::fstat(from.get(), &src) != 0 || !S_ISREG(src.st_mode)) {
        result.copyError = "refused: " + source + " is not a regular file";
        return result;
    }

    std::random_device random;
    std::string temp;
    Fd to;
    for (int attempt = 0; attempt < 8 && to.get() < 0; ++attempt) {
        temp = "." + name + "." + std::to_string(random());
        to.reset(
            ::openat(dir.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    }
    if (to.get() < 0) {
        result.copyError = errnoText(folder);
        return result;
    }
    const mode_t mode = (src.st_mode & 0755) | 0700;
    if (!copyAll(from.get(), to.get()) || ::fchmod(to.get(), mode) != 0 || ::fsync(to.get()) != 0 ||
        ::renameat(dir.get(), temp.c_str(), dir.get(), name.c_str()) != 0) {
        result.copyError = errnoText(destination);
        ::unlinkat(dir.get(), temp.c_str(), 0);
        return result;
    }
    ::fsync(dir.get());
    return result;
}

}  // namespace helperscaffold
