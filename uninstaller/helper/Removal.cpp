#include "Removal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace wendle {

namespace {

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd& operator=(Fd&& o) noexcept {
        std::swap(fd_, o.fd_);
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

  private:
    int fd_;
};

// Depth beyond which a tree is not descended (a folder chain this deep is not the product's).
constexpr int kMaxDepth = 256;

bool plainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The last level's folder, or invalid with errno set.
Fd openParent(const TreeLocation& location) {
    if (location.start.empty() || location.start[0] != '/') {
        errno = ENOENT;
        return Fd();
    }
    Fd fd(::open(location.start.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const std::string& level : location.levels) {
        if (!fd.valid()) break;
        if (!plainName(level)) {
            errno = EINVAL;
            return Fd();
        }
        fd = Fd(::openat(fd.get(), level.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return fd;
}

void cannotRemove(std::string& error, const std::string& path, int err) {
    error += "rm: cannot remove '" + path + "': " + std::strerror(err) + "\n";
}

// Removes name in the folder dirFd and everything below it.
void removeAt(int dirFd, const std::string& name, const std::string& path, int depth, std::string& error) {
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) cannotRemove(error, path, errno);
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        if (depth >= kMaxDepth) {
            cannotRemove(error, path, ELOOP);
            return;
        }
        Fd folder(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folder.valid()) {
            cannotRemove(error, path, errno);
            return;
        }
        int listFd = ::dup(folder.get());
        DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
        if (!dir) {
            if (listFd >= 0) ::close(listFd);
            cannotRemove(error, path, errno);
            return;
        }
        std::vector<std::string> names;
        while (dirent* entry = ::readdir(dir)) {
            std::string child = entry->d_name;
            if (child != "." && child != "..") names.push_back(std::move(child));
        }
        ::closedir(dir);
        for (const std::string& child : names)
            removeAt(folder.get(), child, path + "/" + child, depth + 1, error);
    }
    if (::unlinkat(dirFd, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0 && errno != ENOENT)
        cannotRemove(error, path, errno);
}

}  // namespace

std::string TreeLocation::path() const {
    std::string text = start;
    for (const std::string& level : levels) text += "/" + level;
    return text + "/" + name;
}

TreeLocation locationOf(const std::string& absolutePath) {
    std::string path = absolutePath;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {"", {}, path};
    return {slash == 0 ? "/" : path.substr(0, slash), {}, path.substr(slash + 1)};
}

bool treeExists(const TreeLocation& location) {
    if (!plainName(location.name)) return false;
    Fd parent = openParent(location);
    struct stat st {};
    return parent.valid() && ::fstatat(parent.get(), location.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

helperscaffold::CommandResult removeTree(const TreeLocation& location) {
    helperscaffold::CommandResult result;
    if (!plainName(location.name)) {
        cannotRemove(result.error, location.path(), EINVAL);
    } else {
        Fd parent = openParent(location);
        if (parent.valid()) {
            removeAt(parent.get(), location.name, location.path(), 0, result.error);
        } else if (errno != ENOENT) {
            cannotRemove(result.error, location.path(), errno);
        }
    }
    result.status = result.error.empty() ? 0 : 1;
    return result;
}

bool removeEmptyFolder(const TreeLocation& location) {
    if (!plainName(location.name)) return false;
    Fd parent = openParent(location);
    // Refused for a link (not a folder) and for a folder that holds anything.
    return parent.valid() && ::unlinkat(parent.get(), location.name.c_str(), AT_REMOVEDIR) == 0;
}

}  // namespace wendle
