#include "RootApp.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "SystemLog.h"
#include "platform/paths/Paths.h"
#include "platform/sysinfo/ConsoleUser.h"

extern char** environ;

namespace helperscaffold {

namespace {

constexpr const char* kSafePath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
constexpr size_t kMaxValueBytes = 4096;

bool printable(std::string_view value) {
    return value.size() <= kMaxValueBytes &&
           std::all_of(value.begin(), value.end(), [](char c) { return c > 0x20 && c != 0x7f; });
}

bool onlyOf(std::string_view value, std::string_view extra) {
    return !value.empty() && value.size() <= 256 && std::all_of(value.begin(), value.end(), [extra](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               extra.find(c) != std::string_view::npos;
    });
}

bool digits(std::string_view value) {
    return !value.empty() && value.size() <= 10 &&
           std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A locale name: a name with a slash would be read as a path to locale files of the caller's.
bool localeName(std::string_view value) {
    return onlyOf(value, "._-@:");
}

bool knownPlatform(std::string_view value) {
    static constexpr std::array<std::string_view, 4> kPlatforms{"offscreen", "minimal", "xcb", "wayland"};
    return std::find(kPlatforms.begin(), kPlatforms.end(), value) != kPlatforms.end();
}

std::optional<ActingUser> account(const passwd& pw) {
    if (pw.pw_name == nullptr) return std::nullopt;
    ActingUser user;
    user.uid = pw.pw_uid;
    user.gid = pw.pw_gid;
    user.name = pw.pw_name;
    user.home = paths::homeFolder(user.name).value_or(std::string());
    return user;
}

std::mutex& actingMutex() {
    static std::mutex m;
    return m;
}

std::optional<ActingUser>& actingSlot() {
    static std::optional<ActingUser> user;
    return user;
}

}  // namespace

bool rootOnlyFolder(const std::string& path) {
    if (path.empty() || path.front() != '/') return false;
    int fd = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    size_t at = 0;
    bool ok = true;
    for (;;) {
        struct stat st {};
        if (::fstat(fd, &st) != 0 || st.st_uid != 0) {
            ok = false;
            break;
        }
        while (at < path.size() && path[at] == '/') ++at;
        const bool last = at >= path.size();
        // Others may write to a folder on the way only when it is sticky: they cannot rename
        // root's entries there. The folder itself must be root's alone.
        const bool othersWrite = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
        if (othersWrite && (last || !(st.st_mode & S_ISVTX))) {
            ok = false;
            break;
        }
        if (last) break;
        const size_t end = std::min(path.find('/', at), path.size());
        const std::string name = path.substr(at, end - at);
        if (name == "." || name == "..") {
            ok = false;
            break;
        }
        int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ::close(fd);
        fd = next;
        if (fd < 0) return false;
        at = end;
    }
    ::close(fd);
    return ok;
}

std::vector<std::string> rootAppEnvironment(const std::vector<std::string>& given) {
    std::optional<std::string> pkexecUid;
    std::vector<std::pair<std::string, std::string>> kept;
    for (const std::string& entry : given) {
        const size_t eq = entry.find('=');
        if (eq == std::string::npos || eq == 0) continue;
        const std::string name = entry.substr(0, eq);
        const std::string value = entry.substr(eq + 1);
        bool keep = false;
        if (name == "LANG" || name == "LANGUAGE" || name.starts_with("LC_")) {
            keep = name == "LANGUAGE" ? onlyOf(value, "._-@:") : localeName(value);
        } else if (name == "DISPLAY") {
            keep = onlyOf(value, ".:_-");
        } else if (name == "XAUTHORITY") {
            keep = value.starts_with("/") && printable(value);
        } else if (name == "WAYLAND_DISPLAY") {
            keep = onlyOf(value, "._-");
        } else if (name == "QT_QPA_PLATFORM") {
            keep = knownPlatform(value);
        } else if (name == "PKEXEC_UID") {
            keep = digits(value);
            if (keep) pkexecUid = value;
        } else if (name == "RAVAVIZA_ROOT") {
            keep = value.empty() || rootOnlyFolder(value);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_UNDEFINED__)
        } else if (name == "ASAN_OPTIONS" || name == "UBSAN_OPTIONS" || name == "LSAN_OPTIONS") {
            keep = true;  // sanitizer builds only: their children report as the parent does
#endif
        }
        if (keep) kept.emplace_back(name, value);
    }
    // XDG_RUNTIME_DIR only as the asking user's own folder: root's Wayland client goes nowhere else.
    if (pkexecUid) {
        const std::string own = "/run/user/" + *pkexecUid;
        for (const std::string& entry : given) {
            if (entry == "XDG_RUNTIME_DIR=" + own) kept.emplace_back("XDG_RUNTIME_DIR", own);
        }
    }
    std::string home = "/root";
    std::string user = "root";
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(0, &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr) {
        if (found->pw_dir != nullptr && *found->pw_dir == '/') home = found->pw_dir;
        if (found->pw_name != nullptr && *found->pw_name) user = found->pw_name;
    }
    std::vector<std::string> out{std::string("PATH=") + kSafePath, "HOME=" + home, "USER=" + user,
                                 "LOGNAME=" + user};
    for (const auto& [name, value] : kept) out.push_back(name + "=" + value);
    return out;
}

std::optional<ActingUser> accountOf(uid_t uid) {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) return std::nullopt;
    return account(*found);
}

std::optional<ActingUser> chooseActingUser(const std::optional<std::string>& pkexecUid,
                                           std::string* refusal) {
    auto refuse = [refusal](std::string why) -> std::optional<ActingUser> {
        if (refusal) *refusal = std::move(why);
        return std::nullopt;
    };
    if (!pkexecUid) {
        // Root started the app itself: it acts for root's own account.
        if (std::optional<ActingUser> own = accountOf(::geteuid())) return own;
        return refuse("no account for user id " + std::to_string(::geteuid()));
    }
    if (!digits(*pkexecUid)) return refuse("PKEXEC_UID is not a user id");
    const unsigned long value = std::strtoul(pkexecUid->c_str(), nullptr, 10);
    if (value > 0xFFFFFFFEul) return refuse("PKEXEC_UID is not a user id");
    const uid_t uid = static_cast<uid_t>(value);
    std::optional<ActingUser> asker = accountOf(uid);
    if (!asker) return refuse("no account for user id " + *pkexecUid);
    if (uid == 0) return asker;
    const std::optional<std::string> console = sysinfo::consoleUser();
    if (!console || *console != asker->name)
        return refuse("user " + asker->name + " (" + *pkexecUid + ") is not the user at the screen (" +
                      console.value_or("nobody signed in") + ")");
    return asker;
}

bool startRootApp() {
    if (::geteuid() != 0) return true;
    // Taken as given: a malformed value is refused below rather than read as "root asked".
    const char* asked = ::getenv("PKEXEC_UID");
    const std::optional<std::string> pkexecUid = asked ? std::optional<std::string>(asked) : std::nullopt;
    std::vector<std::string> given;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) given.emplace_back(*entry);
    const std::vector<std::string> kept = rootAppEnvironment(given);
    ::clearenv();
    for (const std::string& entry : kept) {
        const size_t eq = entry.find('=');
        ::setenv(entry.substr(0, eq).c_str(), entry.c_str() + eq + 1, 1);
    }
    std::string refusal;
    std::optional<ActingUser> user = chooseActingUser(pkexecUid, &refusal);
    if (!user) {
        systemLog("Refused to run for the user who asked: " + refusal);
        return false;
    }
    setActingUser(*user);
    return true;
}

ActingUser actingUser() {
    {
        std::lock_guard<std::mutex> lock(actingMutex());
        if (actingSlot()) return *actingSlot();
    }
    if (std::optional<ActingUser> own = accountOf(::getuid())) return *own;
    ActingUser nobody;
    nobody.uid = ::getuid();
    nobody.gid = ::getgid();
    return nobody;
}

void setActingUser(const ActingUser& user) {
    std::lock_guard<std::mutex> lock(actingMutex());
    actingSlot() = user;
}

}  // namespace helperscaffold
