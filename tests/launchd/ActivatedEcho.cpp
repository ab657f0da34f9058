// A job started on demand: takes the listening sockets handed over at descriptors 3, 4, …,
// answers one connection with "<pid> <index of the socket> <LISTEN_FDNAMES> <line read>" and
// exits. Exits 2 when the handed-over environment does not describe this process.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main() {
    const char* pid = std::getenv("LISTEN_PID");
    const char* count = std::getenv("LISTEN_FDS");
    const char* names = std::getenv("LISTEN_FDNAMES");
    if (!pid || !count || !names || std::atoi(pid) != ::getpid()) return 2;
    int n = std::atoi(count);
    if (n < 1 || n > 16) return 2;
    std::vector<pollfd> fds;
    for (int i = 0; i < n; ++i) fds.push_back({3 + i, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), 10'000) <= 0) return 3;
    for (int i = 0; i < n; ++i) {
        if (!(fds[i].revents & POLLIN)) continue;
        int c = ::accept(3 + i, nullptr, nullptr);
        if (c < 0) return 4;
        pollfd p{c, POLLIN, 0};
        std::string line;
        char ch = 0;
        while (::poll(&p, 1, 10'000) > 0 && ::read(c, &ch, 1) == 1 && ch != '\n') line += ch;
        std::string reply =
            std::to_string(::getpid()) + " " + std::to_string(i) + " " + names + " " + line + "\n";
        if (::write(c, reply.data(), reply.size()) < 0) return 5;
        ::close(c);
        return 0;
    }
    return 3;
}
