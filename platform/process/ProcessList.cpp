#include "ProcessList.h"

#include <dirent.h>

#include <charconv>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "platform/core/FileIO.h"

namespace proclist {

namespace {

// The kernel keeps this many bytes of a program's file name as its command name.
constexpr size_t kCommandNameLength = 15;
constexpr size_t kMaxProcFileBytes = 64 * 1024;

std::optional<std::string> readText(const std::string& path) {
    auto bytes = fileio::readFile(path, kMaxProcFileBytes);
    if (!bytes) return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
}

struct StatHead {
    std::string command;
    char state = '?';
};

// "pid (command) state ...": the command may hold spaces and parentheses, so it ends at the
// last closing parenthesis.
std::optional<StatHead> readStatHead(const std::string& dir) {
    auto text = readText(dir + "/stat");
    if (!text) return std::nullopt;
    auto open = text->find('(');
    auto close = text->rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open ||
        close + 2 >= text->size()) {
        return std::nullopt;
    }
    return StatHead{text->substr(open + 1, close - open - 1), (*text)[close + 2]};
}

std::optional<uid_t> readEffectiveUser(const std::string& dir) {
    auto text = readText(dir + "/status");
    if (!text) return std::nullopt;
    auto line = text->find("\nUid:");
    if (line == std::string::npos) return std::nullopt;
    // "Uid:\treal\teffective\tsaved\tfilesystem"
    std::string_view rest(*text);
    rest.remove_prefix(line + 5);
    auto realStart = rest.find_first_not_of(" \t");
    if (realStart == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(realStart);
    auto realEnd = rest.find_first_of(" \t");
    if (realEnd == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(realEnd);
    auto effStart = rest.find_first_not_of(" \t");
    if (effStart == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(effStart);
    uid_t uid{};
    auto [ptr, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), uid);
    if (ec != std::errc()) return std::nullopt;
    return uid;
}

std::string baseName(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The program's file name as the process's first argument gives it, and as its executable
// link gives it (readable for other users' processes only with privileges).
bool programNameIs(const std::string& dir, const std::string& name) {
    if (auto cmdline = readText(dir + "/cmdline");
        cmdline && baseName(cmdline->substr(0, cmdline->find('\0'))) == name) {
        return true;
    }
    std::error_code ec;
    auto exe = std::filesystem::read_symlink(dir + "/exe", ec);
    return !ec && baseName(exe.string()) == name;
}

// A command name of full length may be the cut-off name of a longer program, so such names
// are confirmed against the program's file name.
bool nameMatches(const std::string& name, const std::string& command, const std::string& dir) {
    if (name.size() < kCommandNameLength) return command == name;
    return command == name.substr(0, kCommandNameLength) && programNameIs(dir, name);
}

// Live processes (zombies excluded) of the optional effective user that match.
template <typename Matches>
std::vector<pid_t> liveProcesses(std::optional<uid_t> effectiveUser, Matches matches) {
    std::vector<pid_t> found;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return found;
    while (dirent* entry = ::readdir(proc)) {
        pid_t pid{};
        std::string_view id(entry->d_name);
        auto [ptr, ec] = std::from_chars(id.data(), id.data() + id.size(), pid);
        if (ec != std::errc() || ptr != id.data() + id.size()) continue;
        std::string dir = "/proc/" + std::string(id);
        // Processes may end while they are read: any unreadable entry is skipped.
        auto head = readStatHead(dir);
        if (!head || head->state == 'Z' || head->state == 'X') continue;
        if (!matches(head->command, dir)) continue;
        if (effectiveUser) {
            auto uid = readEffectiveUser(dir);
            if (!uid || *uid != *effectiveUser) continue;
        }
        found.push_back(pid);
    }
    ::closedir(proc);
    return found;
}

// Whether the process runs program: its executable, or for a script started through its
// interpreter line, the interpreter's first argument.
bool runsProgram(const std::string& dir, const std::string& program) {
    std::error_code ec;
    if (std::filesystem::read_symlink(dir + "/exe", ec).string() == program && !ec) return true;
    auto cmdline = readText(dir + "/cmdline");
    if (!cmdline) return false;
    const size_t firstEnd = cmdline->find('\0');
    if (firstEnd == std::string::npos) return false;
    const size_t secondEnd = cmdline->find('\0', firstEnd + 1);
    if (secondEnd == std::string::npos) return false;
    return cmdline->compare(firstEnd + 1, secondEnd - firstEnd - 1, program) == 0;
}

}  // namespace

std::vector<pid_t> processesNamed(const std::string& name, std::optional<uid_t> effectiveUser) {
    if (name.empty()) return {};
    return liveProcesses(effectiveUser, [&](const std::string& command, const std::string& dir) {
        return nameMatches(name, command, dir);
    });
}

std::vector<pid_t> processesRunning(const std::string& program, std::optional<uid_t> effectiveUser) {
    if (program.empty() || program.front() != '/') return {};
    const std::string name = baseName(program);
    return liveProcesses(effectiveUser, [&](const std::string& command, const std::string& dir) {
        return command == name.substr(0, kCommandNameLength) && runsProgram(dir, program);
    });
}

}  // namespace proclist
