#include "ProcessList.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
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

std::vector<pid_t> allPids() {
    std::vector<pid_t> pids;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return pids;
    while (dirent* entry = ::readdir(proc)) {
        pid_t pid{};
        std::string_view id(entry->d_name);
        auto [ptr, ec] = std::from_chars(id.data(), id.data() + id.size(), pid);
        if (ec == std::errc() && ptr == id.data() + id.size() && pid > 0) pids.push_back(pid);
    }
    ::closedir(proc);
    return pids;
}

// Live processes (zombies excluded) of the optional effective user that match.
template <typename Matches>
std::vector<pid_t> liveProcesses(std::optional<uid_t> effectiveUser, Matches matches) {
    std::vector<pid_t> found;
    for (pid_t pid : allPids()) {
        const std::string dir = "/proc/" + std::to_string(pid);
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
    return found;
}

constexpr std::string_view kDeletedSuffix = " (deleted)";
// A "#!" line longer than this is not one the kernel would run.
constexpr size_t kMaxInterpreterLine = 256;

std::string resolved(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) return {};
    std::string out(real);
    std::free(real);
    return out;
}

// The interpreter a script's "#!" line names, as the kernel starts it: the interpreter, then the
// line's one optional argument, then the script's path.
struct Interpreter {
    std::string program;  // links resolved, as the interpreter's own executable record shows it
    std::optional<std::string> argument;
};

std::optional<Interpreter> interpreterOf(const std::string& script) {
    const int fd = ::open(script.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    char buf[kMaxInterpreterLine];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    ::close(fd);
    if (n < 3 || buf[0] != '#' || buf[1] != '!') return std::nullopt;
    std::string_view line(buf + 2, static_cast<size_t>(n) - 2);
    const size_t newline = line.find('\n');
    if (newline == std::string_view::npos) return std::nullopt;
    line = line.substr(0, newline);
    auto trim = [](std::string_view v) {
        const size_t first = v.find_first_not_of(" \t");
        if (first == std::string_view::npos) return std::string_view();
        return v.substr(first, v.find_last_not_of(" \t") - first + 1);
    };
    line = trim(line);
    const size_t gap = line.find_first_of(" \t");
    Interpreter out;
    out.program = resolved(std::string(line.substr(0, gap)));
    if (out.program.empty()) return std::nullopt;
    if (gap != std::string_view::npos) {
        const std::string_view argument = trim(line.substr(gap));
        if (!argument.empty()) out.argument = std::string(argument);
    }
    return out;
}

// The program to look for, in the forms a process's records can show it.
struct Target {
    std::string given;
    std::string real;  // links resolved; for a deleted file, those of its folder
    std::optional<Interpreter> interpreter;

    explicit Target(const std::string& program) : given(program), real(resolved(program)) {
        if (real.empty()) {
            const size_t slash = program.rfind('/');
            const std::string folder = resolved(slash == 0 ? "/" : program.substr(0, slash));
            if (!folder.empty()) real = (folder == "/" ? "" : folder) + program.substr(slash);
        }
        interpreter = interpreterOf(program);
    }

    bool is(const std::string& path) const { return path == given || (!real.empty() && path == real); }

    // The command line of the interpreter running this script.
    bool isScriptArgument(const std::vector<std::string>& args) const {
        if (!interpreter) return false;
        const size_t at = interpreter->argument ? 2 : 1;
        return args.size() > at && is(args[at]) &&
               (!interpreter->argument || args[1] == *interpreter->argument);
    }
};

enum class Match { No, ByExecutable, ByCommandLine };

std::vector<std::string> argumentsOf(const std::string& dir) {
    std::vector<std::string> args;
    auto text = readText(dir + "/cmdline");
    if (!text) return args;
    for (size_t at = 0; at < text->size();) {
        size_t end = text->find('\0', at);
        if (end == std::string::npos) end = text->size();
        args.push_back(text->substr(at, end - at));
        at = end + 1;
    }
    return args;
}

Match matchOf(const std::string& dir, const Target& target, const std::vector<std::string>& args) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink((dir + "/exe").c_str(), buf, sizeof buf);
    if (n > 0 && static_cast<size_t>(n) < sizeof buf) {
        std::string exe(buf, static_cast<size_t>(n));
        if (exe.ends_with(kDeletedSuffix)) exe.resize(exe.size() - kDeletedSuffix.size());
        if (target.is(exe)) return Match::ByExecutable;
        if (target.interpreter && exe == target.interpreter->program && target.isScriptArgument(args))
            return Match::ByExecutable;
        return Match::No;
    }
    // Kernel threads and ended processes have no executable; another user's may be unreadable.
    if (n >= 0 || (errno != EACCES && errno != EPERM)) return Match::No;
    if ((!args.empty() && target.is(args[0])) || target.isScriptArgument(args)) return Match::ByCommandLine;
    return Match::No;
}

bool live(const std::string& dir) {
    auto head = readStatHead(dir);
    return head && head->state != 'Z' && head->state != 'X';
}

// The process in dir as found running target, when it is and passes the user and filter tests.
std::optional<RunningProcess> examine(pid_t pid, const Target& target, std::optional<uid_t> effectiveUser,
                                      bool executableOnly) {
    const std::string dir = "/proc/" + std::to_string(pid);
    RunningProcess process;
    process.pid = pid;
    process.args = argumentsOf(dir);
    const Match match = matchOf(dir, target, process.args);
    if (match == Match::No || (executableOnly && match != Match::ByExecutable) || !live(dir))
        return std::nullopt;
    auto uid = readEffectiveUser(dir);
    if (!uid || (effectiveUser && *uid != *effectiveUser)) return std::nullopt;
    process.effectiveUser = *uid;
    return process;
}

std::vector<RunningProcess> find(const Target& target, std::optional<uid_t> effectiveUser,
                                 bool executableOnly) {
    std::vector<RunningProcess> found;
    if (target.given.empty() || target.given.front() != '/') return found;
    for (pid_t pid : allPids()) {
        if (auto process = examine(pid, target, effectiveUser, executableOnly))
            found.push_back(std::move(*process));
    }
    return found;
}

// Held through a pidfd, so whatever is checked after opening it concerns the process signalled.
bool signalHeld(pid_t pid, const Target& target, int sig, std::optional<uid_t> effectiveUser,
                const std::function<bool(const RunningProcess&)>& filter) {
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) return false;
    bool sent = false;
    if (auto process = examine(pid, target, effectiveUser, true); process && (!filter || filter(*process)))
        sent = ::syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0) == 0;
    ::close(fd);
    return sent;
}

}  // namespace

std::vector<pid_t> processesNamed(const std::string& name, std::optional<uid_t> effectiveUser) {
    if (name.empty()) return {};
    return liveProcesses(effectiveUser, [&](const std::string& command, const std::string& dir) {
        return nameMatches(name, command, dir);
    });
}

std::vector<RunningProcess> processesOf(const std::string& program, std::optional<uid_t> effectiveUser) {
    return find(Target(program), effectiveUser, false);
}

std::vector<pid_t> processesRunning(const std::string& program, std::optional<uid_t> effectiveUser) {
    std::vector<pid_t> pids;
    for (const RunningProcess& process : processesOf(program, effectiveUser)) pids.push_back(process.pid);
    return pids;
}

bool signalIfRunning(pid_t pid, const std::string& program, int sig) {
    if (pid <= 0 || program.empty() || program.front() != '/') return false;
    return signalHeld(pid, Target(program), sig, std::nullopt, {});
}

std::vector<pid_t> signalProcessesOf(const std::string& program, int sig, std::optional<uid_t> effectiveUser,
                                     const std::function<bool(const RunningProcess&)>& filter) {
    std::vector<pid_t> signalled;
    const Target target(program);
    for (const RunningProcess& process : find(target, effectiveUser, true)) {
        if (filter && !filter(process)) continue;
        if (signalHeld(process.pid, target, sig, effectiveUser, filter)) signalled.push_back(process.pid);
    }
    return signalled;
}

}  // namespace proclist
