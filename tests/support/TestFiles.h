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
#include <sstream>
#include <string>
#include <thread>

namespace testsupport {

// False in a build under AddressSanitizer: its allocator keeps freed blocks in quarantine and adds
// shadow memory, so a process's resident figures there say nothing about the product's own use.
// Memory bounds are checked in the plain build.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kMemoryFiguresMeaningful = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kMemoryFiguresMeaningful = false;
#else
inline constexpr bool kMemoryFiguresMeaningful = true;
#endif
#else
inline constexpr bool kMemoryFiguresMeaningful = true;
#endif

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
