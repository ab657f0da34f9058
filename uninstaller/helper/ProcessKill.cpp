#include "ProcessKill.h"

#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/paths/Paths.h"

namespace wendle {

namespace {

bool wordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

std::string readWhole(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool zombie(const std::filesystem::path& proc) {
    const std::string stat = readWhole(proc / "stat");
    const size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z';
}

// The program lies under the product's root: its first argument or its executable.
bool underRoot(const std::string& firstArgument, const std::filesystem::path& proc) {
    const std::string root = paths::root();
    if (root.empty()) return true;
    const std::string prefix = root + "/";
    if (firstArgument.starts_with(prefix)) return true;
    std::error_code ec;
    const std::string exe = std::filesystem::read_symlink(proc / "exe", ec).string();
    return !ec && exe.starts_with(prefix);
}

}  // namespace

bool containsText(std::string_view line, std::string_view text) {
    return line.find(text) != std::string_view::npos;
}

bool containsWord(std::string_view line, std::string_view word) {
    if (word.empty()) return false;
    for (size_t at = line.find(word); at != std::string_view::npos; at = line.find(word, at + 1)) {
        const bool before = at == 0 || !wordChar(line[at - 1]);
        const size_t end = at + word.size();
        const bool after = end == line.size() || !wordChar(line[end]);
        if (before && after) return true;
    }
    return false;
}

std::vector<pid_t> matchingProcesses(const CommandLineMatch& match) {
    std::vector<pid_t> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || !std::isdigit(static_cast<unsigned char>(name[0]))) continue;
        const pid_t pid = static_cast<pid_t>(std::strtol(name.c_str(), nullptr, 10));
        if (pid <= 0 || pid == ::getpid()) continue;
        std::string args = readWhole(entry.path() / "cmdline");
        if (args.empty() || zombie(entry.path())) continue;  // kernel threads, ended processes
        while (!args.empty() && args.back() == '\0') args.pop_back();
        const std::string first = args.substr(0, args.find('\0'));
        std::string line = args;
        for (char& c : line) {
            if (c == '\0') c = ' ';
        }
        if (match(line) && underRoot(first, entry.path())) found.push_back(pid);
    }
    return found;
}

helperscaffold::CommandResult killMatching(const CommandLineMatch& match) {
    helperscaffold::CommandResult result;
    for (pid_t pid : matchingProcesses(match)) {
        if (::kill(pid, SIGKILL) != 0 && errno != ESRCH) {
            result.error += "kill: (" + std::to_string(pid) + ") - " + std::strerror(errno) + "\n";
        }
    }
    result.status = result.error.empty() ? 0 : 1;
    return result;
}

}  // namespace wendle
