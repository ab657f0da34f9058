#include "MobileAccount.h"

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

bool accountName(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '-' || name[0] == '.') return false;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (!(std::isalnum(u) || c == '.' || c == '_' || c == '-' || c == '@') || u >= 0x80) return false;
    }
    return true;
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
