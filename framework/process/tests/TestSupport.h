// /proc probes, file helpers and polling shared by the process tests.
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"

namespace calixtest {

using testsupport::readText;

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

struct ProcStat {
    char state = '?';
    pid_t ppid = 0;
    pid_t pgrp = 0;
};

inline std::optional<ProcStat> procStat(pid_t pid) {
    std::string text = readText("/proc/" + std::to_string(pid) + "/stat");
    auto close = text.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream rest(text.substr(close + 1));
    ProcStat s;
    rest >> s.state >> s.ppid >> s.pgrp;
    if (!rest) return std::nullopt;
    return s;
}

// Every process of the machine whose /proc entry satisfies match.
inline std::vector<pid_t> processesWhere(const std::function<bool(const ProcStat&)>& match) {
    std::vector<pid_t> found;
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr) return found;
    while (dirent* e = ::readdir(dir)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0') continue;
        auto s = procStat(static_cast<pid_t>(pid));
        if (s && match(*s)) found.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(dir);
    return found;
}

inline size_t zombieChildren() {
    pid_t self = ::getpid();
    return processesWhere([self](const ProcStat& s) { return s.ppid == self && s.state == 'Z'; }).size();
}

inline size_t liveMembersOfGroup(pid_t group) {
    return processesWhere([group](const ProcStat& s) { return s.pgrp == group && s.state != 'Z'; }).size();
}

inline size_t openDescriptors() {
    size_t n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// Polls condition every 10 ms until it holds or timeout passes.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace calixtest
