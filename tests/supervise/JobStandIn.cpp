// A stand-in program for the jobs and apps the watchdog and the installer handle (the daemon's
// jobs, the report service, the policy runner, the watermark app, the UI app). Copied to where
// the real program lies in a temporary root, it appends one line to $RAVAVIZA_ROOT/started.log
//   <executable> uid=<uid> display=<DISPLAY> <arguments>
// and then waits until a signal ends it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    char exe[4096];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string line = n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string("?");
    line += " uid=" + std::to_string(::getuid());
    const char* display = std::getenv("DISPLAY");
    line += std::string(" display=") + (display ? display : "");
    for (int i = 1; i < argc; ++i) line += std::string(" ") + argv[i];
    line += "\n";
    if (const char* root = std::getenv("RAVAVIZA_ROOT")) {
        int fd = ::open((std::string(root) + "/started.log").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd >= 0) {
            [[maybe_unused]] ssize_t w = ::write(fd, line.data(), line.size());
            ::close(fd);
        }
    }
    for (;;) ::pause();
}
