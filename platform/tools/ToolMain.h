// The entry shared by the command-line stand-ins: a tool's run function takes the arguments and
// returns what to print on each stream and the exit status.
#pragma once

#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#ifndef RAVAVIZA_VERSION
#error "link the tool with platform_tool_main, which names the product version"
#endif

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

// "--help" (the usage text on standard output) and "--version" (the tool's name and the product
// version) as the only argument, each with status 0; nothing for any other arguments, which the
// tool then reads as its own.
inline std::optional<int> answerHelpOrVersion(int argc, char* argv[], std::string_view name,
                                              std::string_view usage) {
    if (argc != 2) return std::nullopt;
    const std::string_view argument = argv[1];
    if (argument == "--help") {
        writeAll(STDOUT_FILENO, std::string(usage));
        return 0;
    }
    if (argument == "--version") {
        writeAll(STDOUT_FILENO, std::string(name) + " " RAVAVIZA_VERSION "\n");
        return 0;
    }
    return std::nullopt;
}

}  // namespace tooling
