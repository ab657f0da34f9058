// Small helpers shared by the tests: whole-file reads, process state and loopback ports.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// True in a build under AddressSanitizer.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#else
inline constexpr bool kAddressSanitizer = false;
#endif
// False in a build under AddressSanitizer: its allocator keeps freed blocks in quarantine and adds
// shadow memory, so a process's resident figures there say nothing about the product's own use.
// Memory bounds are checked in the plain build.
inline constexpr bool kMemoryFiguresMeaningful = !kAddressSanitizer;

// The whole file as bytes in a string; empty when it cannot be read. Streaming the buffer keeps
// read errors (a /proc entry whose process just ended) from throwing.
inline std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream out;
    out << in.rdbuf();
    return out.str();
}

// Polls the condition until it holds or the limit passes; true when it held.
template <typename F>
bool eventually(F condition, std::chrono::milliseconds limit = std::chrono::seconds(10),
                std::chrono::milliseconds poll = std::chrono::milliseconds(10)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(poll);
    }
    return true;
}

// The process exists and is not a zombie.
inline bool alive(pid_t pid) {
    const std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// The program a process runs (the link text of /proc/<pid>/exe); empty when it cannot be read.
inline std::string exeOf(pid_t pid) {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).string();
}

// Runs file with argv, as user when given, and returns once the child has left the test's own
// program (-1 when it could not fork or never did).
inline pid_t startProgram(const std::string& file, std::vector<std::string> argv,
                          std::optional<uid_t> user = std::nullopt) {
    const std::string self = exeOf(::getpid());
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (user && (::setgid(*user) != 0 || ::setuid(*user) != 0)) ::_exit(126);
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        ::execv(file.c_str(), args.data());
        ::_exit(127);
    }
    eventually([&] {
        const std::string exe = exeOf(pid);
        return !exe.empty() && exe != self;
    });
    return pid;
}

// Makes base and each of parts below it (parts begin with "/"), every one owned by uid:gid, as
// a user's own folders are.
inline bool makeOwnedFolders(const std::string& base, std::initializer_list<const char*> parts, uid_t uid,
                             gid_t gid) {
    std::string path = base;
    std::filesystem::create_directories(path);
    if (::chown(path.c_str(), uid, gid) != 0) return false;
    for (const char* part : parts) {
        path += part;
        std::filesystem::create_directories(path);
        if (::chown(path.c_str(), uid, gid) != 0) return false;
    }
    return true;
}

// A loopback port nothing listens on.
inline int closedPort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    ::close(s);
    return port;
}

}  // namespace testsupport
