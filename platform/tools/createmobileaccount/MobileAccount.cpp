#include "MobileAccount.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/paths/Paths.h"

namespace mobileaccount {

namespace {

constexpr const char* kUsage = "usage: createmobileaccount -n <user>\n";
constexpr int kMaxSkeletonDepth = 8;

bool accountName(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '-' || name[0] == '.') return false;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (!(std::isalnum(u) || c == '.' || c == '_' || c == '-' || c == '@') || u >= 0x80) return false;
    }
    return true;
}

int openFolderAt(int dir, const char* name) {
    return ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool copyFile(int from, int to) {
    char buffer[65536];
    while (true) {
        ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(to, buffer + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            done += w;
        }
    }
}

// Copies the entries of the skeleton folder from into to (the new home, which nobody else can
// reach yet), all through descriptors, and gives each copy to the user, as pam_mkhomedir does at
// a first sign-in. Files other than regular ones, folders and links are left out.
void copySkeleton(int from, int to, uid_t uid, gid_t gid, int depth) {
    if (depth > kMaxSkeletonDepth) return;
    DIR* listing = ::fdopendir(::dup(from));
    if (listing == nullptr) return;
    while (dirent* entry = ::readdir(listing)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        struct stat st {};
        if (::fstatat(from, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        const mode_t mode = st.st_mode & 0777;
        if (S_ISREG(st.st_mode)) {
            int in = ::openat(from, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            int out = ::openat(to, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
            if (in >= 0 && out >= 0 && copyFile(in, out)) {
                [[maybe_unused]] const int given = ::fchown(out, uid, gid);
            }
            if (in >= 0) ::close(in);
            if (out >= 0) ::close(out);
        } else if (S_ISDIR(st.st_mode)) {
            if (::mkdirat(to, name, 0700) != 0) continue;
            int in = openFolderAt(from, name);
            int out = openFolderAt(to, name);
            if (in >= 0 && out >= 0) {
                copySkeleton(in, out, uid, gid, depth + 1);
                [[maybe_unused]] const int given = ::fchown(out, uid, gid);
                ::fchmod(out, mode);
            }
            if (in >= 0) ::close(in);
            if (out >= 0) ::close(out);
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096];
            ssize_t n = ::readlinkat(from, name, target, sizeof target - 1);
            if (n <= 0) continue;
            target[n] = '\0';
            if (::symlinkat(target, to, name) == 0) {
                [[maybe_unused]] const int given = ::fchownat(to, name, uid, gid, AT_SYMLINK_NOFOLLOW);
            }
        }
    }
    ::closedir(listing);
}

}  // namespace

Outcome run(const std::vector<std::string>& args) {
    if (args.size() != 2 || args[0] != "-n" || !accountName(args[1])) return {64, "", kUsage};
    const std::string& name = args[1];
    std::vector<char> buffer(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwnam_r(name.c_str(), &pw, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        pw.pw_dir == nullptr || pw.pw_dir[0] != '/') {
        // The directory may not have answered yet; the caller asks again.
        return {1, "createmobileaccount: user " + name + " was not found\n", ""};
    }
    const std::string home = paths::under(pw.pw_dir);
    struct stat st {};
    if (::lstat(home.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) return {1, "", "createmobileaccount: " + home + " is not a folder\n"};
        return {0, "createmobileaccount: " + name + " already has a home folder at " + home + "\n", ""};
    }
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(home).parent_path(), ec);
    if (::mkdir(home.c_str(), 0700) != 0) {
        return {1, "", "createmobileaccount: cannot make " + home + ": " + std::strerror(errno) + "\n"};
    }
    // The new folder is ours alone until it is handed over, so nobody can swap it meanwhile.
    int fd = ::open(home.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        // The folder exists now, so pam_mkhomedir will not fill it at the first sign-in: the
        // skeleton files come from here.
        int skeleton =
            ::open(paths::under("/etc/skel").c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (skeleton >= 0) {
            copySkeleton(skeleton, fd, pw.pw_uid, pw.pw_gid, 0);
            ::close(skeleton);
        }
    }
    if (fd < 0 || ::fchown(fd, pw.pw_uid, pw.pw_gid) != 0) {
        const int error = errno;
        if (fd >= 0) ::close(fd);
        ::rmdir(home.c_str());
        return {
            1, "",
            "createmobileaccount: cannot give " + home + " to " + name + ": " + std::strerror(error) + "\n"};
    }
    ::close(fd);
    return {0, "createmobileaccount: created the mobile account " + name + " at " + home + "\n", ""};
}

}  // namespace mobileaccount
