#include "WorkspaceOpen.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

#include "platform/paths/Paths.h"
#include "platform/spawn/Spawn.h"
#include "platform/sysinfo/ConsoleUser.h"
#include "platform/sysinfo/SysFiles.h"

namespace supervise {

namespace {

struct Account {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name;
    std::string home;
    std::string shell;
};

std::optional<Account> account(const std::string& name) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &found) != 0 || !found) return std::nullopt;
    return Account{pw.pw_uid, pw.pw_gid, pw.pw_name, pw.pw_dir ? pw.pw_dir : "/",
                   pw.pw_shell ? pw.pw_shell : "/bin/sh"};
}

std::vector<gid_t> groupsOf(const Account& a) {
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (::getgrouplist(a.name.c_str(), a.gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        if (::getgrouplist(a.name.c_str(), a.gid, groups.data(), &count) < 0) return {a.gid};
    }
    groups.resize(static_cast<size_t>(count));
    return groups;
}

// The display of logind's active session on the seat, as its session record names it.
std::map<std::string, std::string> activeSession() {
    auto seat = sysinfo::readKeyValueFile(paths::under("/run/systemd/seats/seat0"));
    auto active = seat.find("ACTIVE");
    if (active == seat.end() || active->second.empty() ||
        active->second.find_first_of("/.") != std::string::npos) {
        return {};
    }
    return sysinfo::readKeyValueFile(paths::under("/run/systemd/sessions/" + active->second));
}

std::vector<std::string> sessionEnvironment(const Account& a) {
    const std::string runtime = "/run/user/" + std::to_string(a.uid);
    std::vector<std::string> env = {
        "HOME=" + a.home,
        "USER=" + a.name,
        "LOGNAME=" + a.name,
        "SHELL=" + a.shell,
        "PATH=/usr/local/bin:/usr/bin:/bin",
        "XDG_RUNTIME_DIR=" + runtime,
        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus",
    };
    auto session = activeSession();
    auto display = session.find("DISPLAY");
    env.push_back("DISPLAY=" + (display != session.end() && !display->second.empty() ? display->second : ":0"));
    if (auto type = session.find("TYPE"); type != session.end() && type->second == "wayland")
        env.push_back("WAYLAND_DISPLAY=wayland-0");
    if (const char* root = std::getenv("RAVAVIZA_ROOT"); root && *root) env.push_back(std::string("RAVAVIZA_ROOT=") + root);
    return env;
}

void say(std::string* why, std::string text) {
    if (why) *why = std::move(text);
}

}  // namespace

bool openUiApp(std::string* why) {
    std::error_code ec;
    if (!std::filesystem::exists(paths::uiAppBundle(), ec)) {
        say(why, paths::uiAppBundle() + " is missing");
        return false;
    }
    auto user = sysinfo::consoleUser();
    if (!user || *user == "root") {
        say(why, "nobody is signed in at the screen");
        return false;
    }
    auto a = account(*user);
    if (!a || a->uid == 0) {
        say(why, "the console user " + *user + " is not a known user");
        return false;
    }
    spawn::Options options;
    options.program = paths::uiAppExecutable();
    options.argv = {options.program};
    options.environment = sessionEnvironment(*a);
    options.workingDirectory = "/";
    options.grouping = spawn::Grouping::OwnSession;
    options.user = spawn::User{a->uid, a->gid, groupsOf(*a)};
    int error = 0;
    auto child = spawn::start(options, &error);
    if (!child) {
        say(why, options.program + ": " + std::strerror(error));
        return false;
    }
    spawn::reapInBackground(child->pid, std::move(child->pidfd));
    return true;
}

}  // namespace supervise
