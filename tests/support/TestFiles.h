// Small helpers shared by the tests: whole-file reads, process state and loopback ports.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

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
