#include "ProcStat.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>

namespace proclist {

std::optional<ProcStat> readProcStat(pid_t pid) {
    if (pid <= 0) return std::nullopt;
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    char buf[1024];
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) return std::nullopt;
    std::string text(buf, static_cast<size_t>(n));
    // "pid (command) state ppid pgrp session ...": the command may hold spaces and parentheses.
    size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) return std::nullopt;
    std::istringstream rest(text.substr(close + 2));
    ProcStat st;
    st.pid = pid;
    rest >> st.state >> st.parent >> st.group >> st.session;
    // Fields 7 to 21, then the start time (field 22).
    std::string skip;
    for (int i = 7; i <= 21; ++i) rest >> skip;
    rest >> st.startTime;
    if (!rest) return std::nullopt;
    return st;
}

std::vector<pid_t> membersOfGroupOrSession(pid_t id) {
    std::vector<pid_t> out;
    if (id <= 0) return out;
    DIR* dir = ::opendir("/proc");
    if (!dir) return out;
    while (dirent* e = ::readdir(dir)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        std::optional<ProcStat> st = readProcStat(static_cast<pid_t>(pid));
        if (st && st->state != 'Z' && (st->group == id || st->session == id)) out.push_back(st->pid);
    }
    ::closedir(dir);
    return out;
}

}  // namespace proclist
