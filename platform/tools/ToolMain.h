// The entry shared by the command-line stand-ins: a tool's run function takes the arguments and
// returns what to print on each stream and the exit status.
#pragma once

#include <unistd.h>

#include <string>
#include <vector>

namespace tooling {

inline void writeAll(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// Prints an outcome ({output, error, status}) and gives its status for main to return.
template <typename Outcome>
int finish(const Outcome& outcome) {
    writeAll(STDOUT_FILENO, outcome.output);
    writeAll(STDERR_FILENO, outcome.error);
    return outcome.status;
}

inline std::vector<std::string> arguments(int argc, char* argv[]) {
    return std::vector<std::string>(argv + 1, argv + argc);
}

}  // namespace tooling
