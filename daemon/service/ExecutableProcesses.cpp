#include "ExecutableProcesses.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <fstream>

namespace service {

namespace {

bool isZombie(const std::string& pidText) {
    std::ifstream in("/proc/" + pidText + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z';
}

}  // namespace

std::vector<pid_t> processesRunning(const std::string& path) {
    std::vector<pid_t> found;
    struct stat target {};
    if (path.empty() || ::stat(path.c_str(), &target) != 0) return found;
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr) return found;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.empty() || !std::isdigit(static_cast<unsigned char>(name[0]))) continue;
        struct stat exe {};
        // stat follows the exe link to the program file itself, even when it was replaced since.
        if (::stat(("/proc/" + name + "/exe").c_str(), &exe) != 0) continue;
        if (exe.st_dev != target.st_dev || exe.st_ino != target.st_ino) continue;
        if (isZombie(name)) continue;
        found.push_back(static_cast<pid_t>(std::stol(name)));
    }
    ::closedir(dir);
    return found;
}

}  // namespace service
